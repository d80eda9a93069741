"""`cnc-api watch`: a live full-screen view of one or many machines."""

from __future__ import annotations

import click
from rich.console import Console
from rich.live import Live
from rich.table import Table
from rich.text import Text

from .clibase import Target, interruptible, target_options
from .codes import CompileState, State, code_name, condition
from .fleet import Fleet
from .fleetopt import fleet_option, gather, handles
from .link import Backoff, Link
from .machine import Machine, Snapshot
from .views import STATE_STYLES, position_axes

_LINK_STYLES = {Link.CONNECTED: "green", Link.DOWN: "bold red", Link.CONNECTING: "yellow", Link.NEW: "dim"}


def _num(value: object) -> str:
    return f"{value:.3f}" if isinstance(value, float) else str(value)


def render(machines: list[Machine], latest: list[Snapshot | None], rate: float) -> Table:
    table = Table(title=f"cnc-api watch - {len(machines)} machine(s), {rate:g}/s - Ctrl-C leaves", expand=True)
    for col in ("machine", "link", "state", "line", "feed", "spindle", "ovr feed/spindle/fast", "position", "compile"):
        table.add_column(col, no_wrap=col != "position")
    for m, snap in zip(machines, latest, strict=True):
        link = m.state
        link_text = Text(link.value.upper(), style=_LINK_STYLES.get(link, ""))
        if link is Link.DOWN:
            retry = m.status.retry_in()
            link_text.append(f" {m.status.last_error or ''}" + (f", retry in {retry:.1f} s" if retry > 0 else ""))
        if snap is None or link is not Link.CONNECTED:
            table.add_row(m.name, link_text, "-", "-", "-", "-", "-", "-", "-")
            continue
        info = snap.cnc_info
        assert info is not None
        word = condition(info.state_machine)
        state = Text(code_name(State, info.state_machine), style=STATE_STYLES[word])
        position = "-"
        if snap.axes_info is not None and isinstance(snap.axes_info.program_position, list):
            values = snap.axes_info.program_position
            position = " ".join(
                f"{ch}{_num(values['XYZABC'.index(ch)])}"
                for ch in position_axes(info)[:3]
                if "XYZABC".index(ch) < len(values)
            )
        compiled = "-"
        if snap.compile_info is not None:
            compiled = code_name(CompileState, snap.compile_info.state)
            if snap.compile_info.state == CompileState.ERROR:
                compiled += f" line {snap.compile_info.file_line}"
        table.add_row(
            m.name,
            link_text,
            state,
            str(info.gcode_line),
            f"{info.feed_reference}/{info.feed_target}",
            f"{info.spindle_actual}",
            f"{info.override_feed}/{info.override_spindle}/{info.override_fast}%",
            position,
            compiled,
        )
    return table


@click.command()
@target_options
@click.argument("machines", nargs=-1, metavar="[HOST[:PORT]]...")
@click.option("--rate", type=click.FloatRange(0.1, 50), default=2.0, show_default=True, help="Refreshes per second.")
@fleet_option
def watch(target: Target, machines: tuple[str, ...], rate: float, fleet: str | None) -> None:
    """A live full-screen view of one or many machines (default: --host and --port, or a --fleet file).

    A machine that drops shows as DOWN and is reconnected with back-off. Ctrl-C leaves.
    """
    endpoints = gather(machines, fleet, None, (target.host, target.port))
    backoff = Backoff(initial=0.5, factor=2.0, maximum=10.0)
    shown = handles(endpoints, target.timeout, backoff, target.prepare)
    polling = Fleet(shown, rate, pollers=min(4, len(shown)), compile=True)
    console = Console()
    with interruptible() as interrupt, polling:
        if not console.is_terminal:
            # Piped or redirected: one table per refresh, one after the other, like a log.
            while not interrupt.sleep(1.0 / rate):
                console.print(render(shown, polling.latest, rate))
            return
        with Live(render(shown, polling.latest, rate), console=console, screen=True, auto_refresh=False) as live:
            while not interrupt.sleep(1.0 / rate):
                live.update(render(shown, polling.latest, rate), refresh=True)
