"""`cnc-api watch`: a live full-screen view of one or many machines."""

from __future__ import annotations

import click
from rich.console import Console
from rich.live import Live
from rich.measure import Measurement
from rich.table import Table
from rich.text import Text

from .clibase import Seconds, Target, interruptible, target_options
from .codes import CompileState, State, code_name, condition
from .fleet import Fleet
from .fleetopt import fleet_option, gather
from .link import Backoff, Link
from .machine import Machine, Snapshot
from .safe import literal
from .views import STATE_STYLES, position_axes
from .watchdog import BoundedMachine

_LINK_STYLES = {Link.CONNECTED: "green", Link.DOWN: "bold red", Link.CONNECTING: "yellow", Link.NEW: "dim"}


def _num(value: object) -> str:
    return f"{value:.3f}" if isinstance(value, float) else str(value)


class _Row:
    """One machine's cells as literal texts, shared by both layouts."""

    def __init__(self, m: Machine, snap: Snapshot | None) -> None:
        link = m.state
        self.name = literal(m.name)
        self.link = literal(link.value.upper(), _LINK_STYLES.get(link, ""))
        self.reason: Text | None = None
        if link is Link.DOWN:
            retry = m.status.retry_in()
            self.reason = literal((m.status.last_error or "") + (f", retry in {retry:.1f} s" if retry > 0 else ""))
        self.up = snap is not None and snap.cnc_info is not None and link is Link.CONNECTED
        self.state = self.line = self.feed = self.spindle = self.overrides = self.compile = literal("-")
        self.position: list[str] = []
        if not self.up or snap is None or snap.cnc_info is None:
            return
        info = snap.cnc_info
        self.state = literal(code_name(State, info.state_machine), STATE_STYLES[condition(info.state_machine)])
        self.line = literal(info.gcode_line)
        self.feed = literal(f"{info.feed_reference}/{info.feed_target}")
        self.spindle = literal(info.spindle_actual)
        self.overrides = literal(f"{info.override_feed}/{info.override_spindle}/{info.override_fast}%")
        if snap.axes_info is not None and isinstance(snap.axes_info.program_position, list):
            values = snap.axes_info.program_position
            axes = [ch for ch in position_axes(info)[:3] if "XYZABC".index(ch) < len(values)]
            self.position = [f"{ch}{_num(values['XYZABC'.index(ch)])}" for ch in axes]
        if snap.compile_info is not None:
            text = code_name(CompileState, snap.compile_info.state)
            if snap.compile_info.state == CompileState.ERROR:
                text += f" line {snap.compile_info.file_line}"
            self.compile = literal(text, "red" if snap.compile_info.state == CompileState.ERROR else "")


def _wide(title: str, rows: list[_Row]) -> Table:
    """One line a machine, for wide terminals."""
    table = Table(title=title, box=None, padding=(0, 1), header_style="bold")
    for col in ("machine", "link", "state", "line", "feed", "spindle", "ovr f/s/r", "position", "compile"):
        table.add_column(col, no_wrap=True, justify="right" if col in ("line", "spindle") else "left")
    for r in rows:
        link = r.link if r.reason is None else Text.assemble(r.link, " ", r.reason)
        position = literal(" ".join(r.position) or "-")
        table.add_row(r.name, link, r.state, r.line, r.feed, r.spindle, r.overrides, position, r.compile)
    return table


def _lines(*parts: Text | str) -> Text:
    return Text("\n").join(part if isinstance(part, Text) else literal(part) for part in parts)


def _compact(title: str, rows: list[_Row]) -> Table:
    """Three lines a machine, for 80 columns: nothing is cut, the position stays."""
    table = Table(title=title, box=None, padding=(0, 1), header_style="bold")
    table.add_column("machine", no_wrap=True, min_width=max(len(r.name) for r in rows))
    table.add_column("state", min_width=9)
    table.add_column("feed/spindle", no_wrap=True)
    table.add_column("ovr", no_wrap=True)
    table.add_column("position", no_wrap=True, justify="right")
    for r in rows:
        if not r.up:
            table.add_row(_lines(r.name, r.link), r.reason or r.state, "", "", "", end_section=True)
            continue
        ovr = r.overrides.plain.rstrip("%").split("/")
        table.add_row(
            _lines(r.name, r.link),
            _lines(r.state, Text.assemble("line ", r.line), r.compile),
            _lines(Text.assemble("F ", r.feed), Text.assemble("S ", r.spindle)),
            _lines(*(f"{k} {v}%" for k, v in zip("FSR", ovr, strict=False))),
            _lines(*r.position) if r.position else literal("-"),
            end_section=True,
        )
    return table


def render(
    machines: list[Machine], latest: list[Snapshot | None], rate: float, console: Console | None = None
) -> Table:
    """The view at the console's width: one line a machine where it fits whole, else three."""
    title = f"cnc-api watch - {len(machines)} machine(s), {rate:g}/s - Ctrl-C leaves"
    rows = [_Row(m, snap) for m, snap in zip(machines, latest, strict=True)]
    wide = _wide(title, rows)
    if console is None:
        return wide
    unbounded = console.options.update_width(1 << 16)
    if Measurement.get(console, unbounded, wide).maximum <= console.width:
        return wide
    return _compact(title, rows)


@click.command()
@target_options
@click.argument("machines", nargs=-1, metavar="[HOST[:PORT]]...")
@click.option("--rate", type=Seconds(0.1, 50), default=2.0, show_default=True, help="Refreshes per second.")
@fleet_option
def watch(target: Target, machines: tuple[str, ...], rate: float, fleet: str | None) -> None:
    """A live full-screen view of one or many machines (default: --host and --port, or a --fleet file).

    A machine that drops shows as DOWN and is reconnected with back-off. Ctrl-C leaves.
    """
    endpoints = gather(machines, fleet, None, (target.host, target.port))
    backoff = Backoff(initial=0.5, factor=2.0, maximum=10.0)
    shown: list[Machine] = [
        BoundedMachine(
            m.host,
            m.port,
            connect_timeout=target.timeout,
            backoff=backoff,
            name=m.name,
            prepare=target.prepare,
            exchange_timeout=target.timeout,
        )
        for m in endpoints
    ]
    polling = Fleet(shown, rate, pollers=min(4, len(shown)), compile=True)
    console = Console(highlight=False)
    with interruptible() as interrupt, polling:
        if not console.is_terminal:
            # Piped or redirected: one table per refresh, one after the other, like a log.
            while not interrupt.sleep(1.0 / rate):
                console.print(render(shown, polling.latest, rate, console))
            return
        with Live(
            render(shown, polling.latest, rate, console), console=console, screen=True, auto_refresh=False
        ) as live:
            while not interrupt.sleep(1.0 / rate):
                live.update(render(shown, polling.latest, rate, console), refresh=True)
