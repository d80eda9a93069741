"""A live web view of machines, served by `cnc-api dashboard`.

For use from Python (the web libraries come with the ``dashboard`` extra)::

    from cnc_api_tools.dashboard.app import create_app          # an ASGI application
    from cnc_api_tools.dashboard.hub import Endpoint
    from cnc_api_tools.dashboard.server import DashboardServer

    app = create_app([Endpoint("mill", "10.0.0.5", 8000)])
    DashboardServer(app, "127.0.0.1", 8050).run()

This package imports no web library itself, so the command line loads without them.
"""
