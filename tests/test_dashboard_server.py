"""The dashboard's endpoints and live streams against simulators and the fake server, over real HTTP."""

from __future__ import annotations

import contextlib
import json
import re
import socket
import time
from pathlib import Path

import cnc_api_tools.dashboard as dashboard_package
import httpx
import pytest
from cnc_api_simulator.testing import MachineClock
from cnc_api_tools import State
from dashboard_helpers import (
    PART,
    ScriptedControl,
    dashboard,
    events,
    load_and_start,
    odd_replies,
    programs_dir,
    simulator,
    state,
)
from fake_server import FakeServer, respond
from tools_helpers import free_port, wait_for

PACKAGE = Path(dashboard_package.__file__).parent


def get_json(url: str) -> dict:
    reply = httpx.get(url, timeout=10)
    assert reply.status_code == 200, reply.text
    assert reply.headers["content-type"].startswith("application/json")
    return reply.json()


def test_overview_lists_every_machine_with_its_link_state(tmp_path):
    names = ["mill", "<b>lathe</b>\udcff"]  # markup, and a lone surrogate (a name of undecodable bytes)
    with simulator(tmp_path) as sim, dashboard([sim.port, free_port()], names=names) as dash:
        data = wait_for(
            lambda: (d := get_json(dash.url + "api/machines"))["machines"][1]["link"]["state"] == "down" and d
        )
        mill, lathe = data["machines"]
        assert data["control"] is False
        assert (mill["name"], mill["link"]["state"], mill["state"]["name"]) == ("mill", "connected", "IDLE")
        assert lathe["name"] == "<b>lathe</b>\\udcff"
        assert mill["state"]["condition"] == "idle" and mill["alarm"] is False
        assert lathe["state"] is None and lathe["link"]["error"] == "connection refused"
        page = httpx.get(dash.url, timeout=10)
        assert page.status_code == 200 and "mill" in page.text
        assert "&lt;b&gt;lathe&lt;/b&gt;\\udcff" in page.text and "<b>" not in page.text  # names are text, not markup
        assert 'id="tile-0"' in page.text and 'id="tile-1"' in page.text
        assert "data-action" not in page.text  # read-only: no control is offered


def test_live_stream_follows_a_run_and_progress_advances(tmp_path):
    clock = MachineClock()
    with simulator(tmp_path, clock=clock) as sim, dashboard([sim.port], programs=[programs_dir(sim)]) as dash:
        events(dash.url + "api/events", lambda m: m["state"]["name"] == "IDLE")
        c = load_and_start(sim.port)

        def far_enough(m: dict) -> bool:
            clock.advance(2.0)  # two seconds of machine time with each update: the run keeps pace with the stream
            return m["progress"] is not None and (m["progress"]["fraction"] or 0) > 0.15

        seen = events(dash.url + "api/events", far_enough, timeout=20)
        # The fraction is unknown (None) until the program's length is known.
        running = [
            m
            for m in seen
            if m["state"] and m["state"]["name"] == "RUN" and m["progress"] and m["progress"]["fraction"] is not None
        ]
        assert running, seen[-1]
        fractions = [m["progress"]["fraction"] for m in running]
        assert fractions == sorted(fractions) and fractions[-1] > fractions[0]
        last = running[-1]
        assert last["progress"]["basis"] == "line"  # the program's text was found by its file name
        assert last["program"] == {
            "name": PART,
            "lines": len((Path(programs_dir(sim)) / PART).read_text().splitlines()),
        }
        assert last["enabled"]["stop"] is True and last["line"] > 0
        assert last["progress"]["remaining"] is not None
        c.cnc_stop()
        c.close()


def test_machine_page_data_path_gcode_and_estimate(tmp_path):
    with simulator(tmp_path) as sim, dashboard([sim.port], programs=[programs_dir(sim)]) as dash:
        c = load_and_start(sim.port)
        detail = wait_for(lambda: (d := get_json(dash.url + "api/machines/0"))["gcode"] and d["line"] and d)
        c.cnc_stop()
        assert detail["machining"]["estimated_seconds"] > 10
        assert detail["machining"]["total_path"] > 400
        assert detail["compile"]["state"] in ("READY", "FINISHED") and detail["compile"]["error"] is None
        g = detail["gcode"]
        assert g["first"] <= g["current"] <= g["first"] + len(g["lines"]) - 1
        text = (Path(programs_dir(sim)) / PART).read_text().splitlines()
        assert g["lines"] == text[g["first"] - 1 : g["first"] - 1 + len(g["lines"])]

        reply = httpx.get(dash.url + "api/machines/0/path", timeout=10)
        path = reply.json()
        points = c.get_programmed_points().points
        assert path["version"] == detail["path_version"] >= 1
        assert path["count"] == path["reported"] == len(points)
        assert path["kinds_known"] and set(path["kinds"]) == {"0", "1"}  # rapid and feed told apart
        assert path["xyz"][:3] == pytest.approx(points[0][:3])
        assert path["bounds"] == {"min": [0.0, 0.0, -3.0], "max": [80.0, 50.0, 5.0]}
        # unchanged path: the browser's copy is still good
        again = httpx.get(dash.url + "api/machines/0/path", headers={"if-none-match": reply.headers["etag"]})
        assert again.status_code == 304
        c.close()


def test_new_program_gives_a_new_path_version(tmp_path):
    with simulator(tmp_path) as sim, dashboard([sim.port], programs=[programs_dir(sim)]) as dash:
        c = load_and_start(sim.port)
        c.cnc_stop()
        first = wait_for(lambda: (d := get_json(dash.url + "api/machines/0"))["path_count"] > 100 and d)
        wait_for(lambda: state(c) == State.IDLE)
        (Path(programs_dir(sim)) / "square.nc").write_text("G0 X0 Y0\nG1 X5 F100\nG1 Y5\nG0 X0 Y0\nM30\n")
        assert c.program_load("square.nc")
        second = wait_for(lambda: (d := get_json(dash.url + "api/machines/0"))["path_count"] == 4 and d)
        assert second["path_version"] > first["path_version"]
        assert second["program"]["name"] == "square.nc" and second["gcode"]["total"] == 5
        assert get_json(dash.url + "api/machines/0/path")["kinds"] == "0110"
        c.close()


def test_a_programs_text_is_never_shown_with_another_programs_points(tmp_path):
    (tmp_path / PART).write_text("G0 X0 Y0\nG1 X10\nG1 Y10\nM30\n")
    first, other = [[0.0, 0.0, 0.0], [10.0, 0.0, 0.0], [10.0, 10.0, 0.0]], [[5.0, 5.0, 5.0], [7.0, 1.0, 0.0]]
    control = ScriptedControl(PART, first)

    def text_of(m: dict) -> tuple:
        return m["text"]["status"], m["program"]["lines"], m["gcode"] and m["gcode"]["total"]

    url = "api/machines/0/events"
    with FakeServer(default=respond(control)) as server, dashboard([server.port], programs=[str(tmp_path)]) as dash:
        events(dash.url + url, lambda m: text_of(m) == ("shown", 4, 4))
        control.load(PART, other)  # a text sent after the load: the control keeps the file's name
        events(dash.url + url, lambda m: text_of(m) == ("mismatch", None, None) and m["path_count"] == 2)
        control.load(PART, first)  # the file loaded again
        events(dash.url + url, lambda m: text_of(m) == ("shown", 4, 4) and m["path_count"] == 3)

    # The dashboard first meets another program under the file's name: with fewer points than the text has
    # moves it cannot be the text's; with as many, its run going past the text's end tells.
    control = ScriptedControl(PART, other)
    with FakeServer(default=respond(control)) as server, dashboard([server.port], programs=[str(tmp_path)]) as dash:
        events(dash.url + url, lambda m: text_of(m) == ("mismatch", None, None) and m["path_count"] == 2)
    control = ScriptedControl(PART, [*other, [1.0, 1.0, 1.0]])
    with FakeServer(default=respond(control)) as server, dashboard([server.port], programs=[str(tmp_path)]) as dash:
        events(dash.url + url, lambda m: text_of(m) == ("shown", 4, 4))
        control.state, control.line = State.RUN, 1863
        seen = events(dash.url + url, lambda m: text_of(m) == ("mismatch", None, None))
        assert seen[-1]["progress"]["basis"] != "line"

    # The dashboard first asks while the control is still analysing: no points say nothing against the text.
    control = ScriptedControl(PART, None)
    with FakeServer(default=respond(control)) as server, dashboard([server.port], programs=[str(tmp_path)]) as dash:
        events(dash.url + url, lambda m: text_of(m) == ("shown", 4, 4))
        control.load(PART, first)
        events(dash.url + url, lambda m: text_of(m) == ("shown", 4, 4) and m["path_count"] == 3)


def test_machine_going_down_shows_offline_and_comes_back(tmp_path):
    with simulator(tmp_path) as sim:
        port = sim.port
        with dashboard([port]) as dash:
            events(dash.url + "api/events", lambda m: m["link"]["state"] == "connected")
            sim.stop()
            down = events(dash.url + "api/events", lambda m: m["link"]["state"] == "down")[-1]
            assert down["progress"] is None and down["fresh"] is False
            assert not any(down["enabled"].values())


@pytest.mark.parametrize(
    ("policy", "headers", "host", "status"),
    [
        (dict(), {"x-cnc-dashboard": "control"}, None, 403),
        (dict(allowed=True), {}, None, 403),  # a cross-site form carries no such header
        (dict(allowed=True), {"x-cnc-dashboard": "control", "origin": "http://evil.example"}, None, 403),
        (dict(allowed=True), {"x-cnc-dashboard": "control"}, "evil.example", 403),  # DNS rebinding
        (dict(allowed=True), {"x-cnc-dashboard": "control"}, None, 200),
        (dict(allowed=True), {"x-cnc-dashboard": "control"}, "localhost", 200),
        (dict(allowed=True, token="s3cret"), {"x-cnc-dashboard": "control"}, None, 401),
        (
            dict(allowed=True, token="s3cret"),
            {"x-cnc-dashboard": "control", "authorization": "Bearer s3cre"},
            None,
            401,
        ),
        (
            dict(allowed=True, token="s3cret"),
            {"x-cnc-dashboard": "control", "authorization": "Bearer s3cret"},
            None,
            200,
        ),
        (
            dict(allowed=True, token="s3cret"),
            {"x-cnc-dashboard": "control", "x-cnc-token": "s3cret"},
            None,
            200,
        ),
        # with a token, a non-loopback name is fine: the token is the guard
        (
            dict(allowed=True, token="s3cret", loopback_only=False),
            {"x-cnc-dashboard": "control", "x-cnc-token": "s3cret"},
            "plant-pc.example",
            200,
        ),
    ],
    ids=[
        "off",
        "no-header",
        "foreign-origin",
        "foreign-host",
        "loopback",
        "localhost",
        "token-missing",
        "token-wrong",
        "token-bearer",
        "token-header",
        "token-any-host",
    ],
)
def test_control_is_refused_unless_allowed(tmp_path, policy, headers, host, status):
    with simulator(tmp_path) as sim, dashboard([sim.port], policy=policy, allowed_hosts=("plant-pc.example",)) as dash:
        c = load_and_start(sim.port)
        send = dict(headers)
        if host:
            send["host"] = f"{host}:{dash.port}"
        reply = httpx.post(dash.url + "api/machines/0/control/stop", headers=send, timeout=10)
        assert reply.status_code == status, reply.text
        body = reply.json()
        if status == 200:
            assert body == {"ok": True, "command": "cnc_stop", "reason": None}
            wait_for(lambda: state(c) == State.IDLE)
        else:
            assert body["ok"] is False and body["reason"]
            time.sleep(0.3)
            assert state(c) == State.RUN  # nothing reached the machine
            c.cnc_stop()
        if status == 401:
            assert reply.headers["www-authenticate"] == "Bearer"
        c.close()


READ_ROUTES = ["", "machine/0", "api/machines", "api/machines/0", "api/machines/0/path", "api/machines/0/events"]


@pytest.mark.parametrize(
    ("headers", "status"),
    [
        ({"host": "attacker.example:{port}"}, 403),  # DNS rebinding: another site's name for this address
        ({"host": "attacker.example:{port}", "origin": "http://attacker.example:{port}"}, 403),
        ({"origin": "http://attacker.example"}, 403),  # a page on another site reading across
        ({"host": "[::1"}, 403),
        ({}, 200),
        ({"host": "localhost:{port}", "origin": "http://localhost:{port}"}, 200),
        ({"host": "plant-pc.example:{port}"}, 200),  # named with --allowed-host
    ],
    ids=["foreign-host", "foreign-host-and-origin", "foreign-origin", "bad-host", "address", "localhost", "allowed"],
)
def test_every_route_answers_its_own_host_names_only(tmp_path, headers, status):
    with simulator(tmp_path) as sim, dashboard([sim.port], allowed_hosts=("Plant-PC.example",)) as dash:
        send = {k: v.format(port=dash.port) for k, v in headers.items()}
        for route in [*READ_ROUTES, "static/common.js"]:
            with httpx.stream("GET", dash.url + route, headers=send, timeout=10) as reply:
                assert reply.status_code == status, route
                if status == 403:
                    reply.read()
                    assert "refused" in reply.text or "host name" in reply.text


@pytest.mark.parametrize(
    ("path", "status"),
    [
        ("api/machines/0/control/continue", 409),  # not enabled while idle: the reason says so
        ("api/machines/0/control/explode", 404),
        ("api/machines/7/control/stop", 404),
        ("api/machines/1/control/start", 503),  # a machine that is down
    ],
)
def test_control_answers_with_the_controls_reason(tmp_path, path, status):
    policy = dict(allowed=True)
    with simulator(tmp_path) as sim, dashboard([sim.port, free_port()], policy=policy) as dash:
        reply = httpx.post(dash.url + path, headers={"x-cnc-dashboard": "control"}, timeout=10)
        assert reply.status_code == status, reply.text
        if status == 409:
            assert reply.json()["reason"].startswith("cnc_continue is not enabled in state IDLE")
        if status == 503:
            assert "not connected" in reply.json()["reason"]


@pytest.mark.parametrize("path", ["api/machines/5", "api/machines/5/path", "api/machines/5/events", "machine/5"])
def test_unknown_machine_is_not_found(tmp_path, path):
    with dashboard([free_port()]) as dash:
        assert httpx.get(dash.url + path, timeout=10).status_code == 404


def test_odd_reply_values_never_break_the_pages_json():
    with FakeServer(default=respond(odd_replies)) as server, dashboard([server.port]) as dash:
        detail = wait_for(lambda: (d := get_json(dash.url + "api/machines/0"))["path_count"] and d)
        assert detail["state"] is None and detail["line"] is None  # text and an overlong integer are no values
        assert detail["feed"]["actual"] is None and detail["spindle"]["actual"] is None
        assert detail["overrides"]["feed"] is None and detail["worked_time"] is None
        assert detail["position"][:3] == [None, None, 1.5]
        assert detail["compile"]["state"] == "ERROR" and detail["compile"]["error"]["line"] is None
        assert detail["machining"]["estimated_seconds"] is None
        path = get_json(dash.url + "api/machines/0/path")
        assert path["count"] == 3 and path["skipped"] == 3  # the text, the mixed list and the infinity
        assert path["xyz"] == [0, 0, 0, 3, 4, 0, 5, 6, 7]
        with httpx.stream("GET", dash.url + "api/machines/0/events", timeout=10) as reply:
            for line in reply.iter_lines():
                if line.startswith("data:"):
                    json.loads(line[5:], parse_constant=lambda c: pytest.fail(f"{c} in the stream"))
                    break


@pytest.mark.slow
def test_hundred_thousand_point_path_is_served_whole_and_fast():
    count = 100_000
    points = [[round(50 * (i % 1000) / 1000, 3), round(i / 2000, 3), -1.0] for i in range(count)]
    reply = json.dumps({"res": {"points": points}})

    def answer(request: bytes) -> object:
        if b"programmed.points" in request:
            return reply
        return odd_replies(request)

    with FakeServer(default=respond(answer)) as server, dashboard([server.port]) as dash:
        wait_for(lambda: get_json(dash.url + "api/machines/0")["path_count"] > 0, timeout=60)
        took = []
        for _ in range(3):
            started = time.perf_counter()
            body = httpx.get(dash.url + "api/machines/0/path", timeout=30).content
            took.append(time.perf_counter() - started)
        path = json.loads(body)
        assert path["reported"] == count and path["count"] + path["simplified"] == count
        assert len(path["xyz"]) == 3 * path["count"]
        # The encoding (megabytes) is made once with the path, off the event loop, not per request.
        assert min(took) < 2.0, took


def test_pages_and_assets_load_nothing_from_another_host(tmp_path):
    with dashboard([free_port()]) as dash:
        pages = [httpx.get(dash.url, timeout=10), httpx.get(dash.url + "machine/0", timeout=10)]
        for page in pages:
            policy = page.headers["content-security-policy"]
            assert "default-src 'self'" in policy and "frame-ancestors 'none'" in policy
            assert page.headers["x-frame-options"] == "DENY"
            refs = re.findall(r'(?:src|href)="([^"]+)"', page.text)
            assert refs and all(ref.startswith("/") and not ref.startswith("//") for ref in refs), refs
            for ref in refs:
                assert httpx.get(dash.url + ref.lstrip("/"), timeout=10).status_code == 200, ref
    for asset in [*PACKAGE.glob("static/*"), *PACKAGE.glob("templates/*")]:
        text = asset.read_text()
        text = text.replace('xmlns="http://www.w3.org/2000/svg"', "")
        assert not re.search(r"https?://|//[a-z0-9.-]+\.[a-z]{2,}/|@import|url\(", text, re.I), asset.name


def _closed_by_server(sock: socket.socket, timeout: float = 10.0) -> bool:
    """Whether the server ends the connection within `timeout` (whatever it sent before is read)."""
    sock.settimeout(timeout)
    try:
        while sock.recv(65536):
            pass
    except ConnectionResetError:
        pass
    except TimeoutError:
        return False
    return True


@pytest.mark.parametrize(
    "sent",
    [b"", b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n", b"GET / HTTP/1.1\r\n\r\n" + b"GET / HTTP/1.1\r\nHost: x"],
    ids=["nothing", "half-the-headers", "half-a-second-request"],
)
def test_a_client_slow_to_send_its_headers_is_let_go(sent):
    with dashboard([free_port()], limits=dict(header_timeout=0.5, keep_alive=30)) as dash:
        with socket.create_connection(("127.0.0.1", dash.port)) as sock:
            sock.sendall(sent)
            assert _closed_by_server(sock)
        assert httpx.get(dash.url + "api/machines", timeout=10).status_code == 200


def test_connections_beyond_the_cap_are_closed_at_once():
    limits = dict(max_connections=4, connections_per_client=4, header_timeout=60)
    with dashboard([free_port()], limits=limits) as dash:
        idle = [socket.create_connection(("127.0.0.1", dash.port)) for _ in range(4)]
        try:
            with socket.create_connection(("127.0.0.1", dash.port)) as extra:
                assert _closed_by_server(extra)
            idle.pop().close()
            assert wait_for(lambda: httpx.get(dash.url + "api/machines", timeout=10).status_code == 200)
        finally:
            for sock in idle:
                sock.close()


@pytest.mark.parametrize(
    ("limits", "status"),
    [(dict(streams_per_client=2, max_streams=10), 429), (dict(streams_per_client=10, max_streams=2), 503)],
    ids=["per-client", "in-all"],
)
def test_live_streams_are_capped(limits, status):
    with dashboard([free_port()], limits=limits) as dash, contextlib.ExitStack() as stack:
        url = dash.url + "api/machines/0/events"
        for route in (url, dash.url + "api/events"):
            assert stack.enter_context(httpx.stream("GET", route, timeout=10)).status_code == 200
        assert httpx.get(url, timeout=10).status_code == status
        stack.close()
        wait_for(lambda: not dash.app.state.dashboard.streams)  # a closed stream gives its place back
        with httpx.stream("GET", url, timeout=10) as reply:
            assert reply.status_code == 200


def test_a_stream_that_is_not_read_is_dropped(tmp_path):
    limits = dict(stall_timeout=0.5, write_buffer=1024, send_buffer=4096)
    with simulator(tmp_path) as sim, dashboard([sim.port], limits=limits, interval=0.05) as dash:
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        sock.connect(("127.0.0.1", dash.port))
        with sock:
            sock.sendall(b"GET /api/machines/0/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            wait_for(lambda: dash.app.state.dashboard.streams)
            wait_for(lambda: not dash.app.state.dashboard.streams, timeout=60)
            assert _closed_by_server(sock)
