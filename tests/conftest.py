import os
import socket

import pytest
import scheduling
from fake_server import FakeServer

# On import Hypothesis loads the plugin of every installed package that offers
# one; trio's (a dependency of selenium) costs each worker half a second, and
# no test here uses it.
os.environ.setdefault("HYPOTHESIS_NO_PLUGINS", "1")

from hypothesis import HealthCheck, settings  # noqa: E402

# The suite runs on more workers than there are cores, so how fast one example
# is generated says nothing about its strategy: that health check is off, and
# every test still runs all its examples. `make test` runs the "dev" profile;
# `make test-deep` (a CI step) selects "ci", which digs deeper, see `examples`.
settings.register_profile("dev", suppress_health_check=[HealthCheck.too_slow], deadline=None)
# A fresh checkout has no failures to replay, and writing new ones there helps no one.
settings.register_profile("ci", settings.get_profile("dev"), database=None, print_blob=True)
PROFILE = os.environ.get("HYPOTHESIS_PROFILE", "dev")
settings.load_profile(PROFILE)


def examples(dev: int, *, ci: int) -> int:
    """The number of examples of a property test under the loaded profile.

    `dev` keeps every branch of the test's strategy well covered for a quick
    local run (and a new random draw each run finds what earlier runs missed);
    `ci` is the thorough depth.
    """
    return ci if PROFILE == "ci" else dev


SENTINEL = '{"get":"sentinel"}'


@pytest.fixture
def server():
    with FakeServer() as srv:
        yield srv


@pytest.fixture
def core():
    """The extension module, imported only by the tests that need it."""
    import cnc_api_client_core

    return cnc_api_client_core


class PlainSocket(socket.socket):
    """A socket subclass: with it as `ipc` the module takes its generic path of
    method calls instead of working on the descriptor."""


EXCHANGE_PATHS = ["native", "generic"]


def connected_client(core, server, path="native"):
    """A client connected to `server` over the given exchange path."""
    c = core.CncAPIClientCore()
    if path == "generic":
        c.ipc.close()
        c.ipc = PlainSocket(socket.AF_INET, socket.SOCK_STREAM)
    assert c.connect(server.host, server.port) is True
    server.wait_connection()
    return c


def client_on_path(request, core, server):
    """For a module-level `client` fixture parametrized over EXCHANGE_PATHS."""
    c = connected_client(core, server, request.param)
    yield c
    c.close()


@pytest.fixture
def client(core, server):
    """A client connected to `server`."""
    c = connected_client(core, server)
    yield c
    c.close()


def send(client, request):
    return client._CncAPIClientCore__send_command(request)


def wire(server, client, connections=1) -> bytes:
    """Everything the server received, once no more can arrive.

    A connected client proves the wire idle with one sentinel exchange, which is
    cut off again; otherwise the client's socket is shut down and the server
    waits for the end of each connection it had.
    """
    if client.is_connected:
        assert send(client, SENTINEL) == '{"res":true}'
        data = server.received
        assert data.endswith(SENTINEL.encode() + b"\n")
        return data[: -len(SENTINEL) - 1]
    try:
        client.ipc.shutdown(socket.SHUT_WR)
    except OSError:  # never connected, or already closed
        pass
    if connections:
        server.wait_closed(connections)
    return server.received


# pytest-xdist's hooks: optional, as the suite also runs without it.
@pytest.hookimpl(optionalhook=True)
def pytest_xdist_make_scheduler(config, log):
    return scheduling.make_scheduler(config, log)


@pytest.hookimpl(optionalhook=True)
def pytest_configure_node(node):
    scheduling.configure_node(node)


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(config, items):
    scheduling.write_plan(config, items)
