"""`cnc-api jog`: move one axis until Ctrl-C or for a given time, then end the jog."""

from __future__ import annotations

import signal
import time
from typing import Any, NoReturn

import click
import cnc_api_client_core as cnc

from .clibase import (
    EXIT_INTERRUPTED,
    EXIT_UNREACHABLE,
    MAX_WAIT,
    CliError,
    Interrupt,
    Seconds,
    Target,
    cnc_info,
    command,
    interruptible,
    target_options,
)
from .codes import JogCommand, State, code_name, condition
from .explain import explain_refusal
from .safe import printable

__all__ = ["jog", "jog_code"]

POLL = 0.1  # seconds between looks at the machine while it jogs


def jog_code(text: str) -> JogCommand:
    """``X+``, ``z-`` or a code name such as ``X_FW`` as the jog command."""
    word = text.strip().upper()
    if len(word) == 2 and word[1] in "+-":
        word = f"{word[0]}_{'FW' if word[1] == '+' else 'BW'}"
    if word in JogCommand.__members__ and word != "NONE":
        return JogCommand[word]
    raise ValueError(f"{text!r} is no jog: give an axis and a direction, such as X+ or Z- (axes X Y Z A B C)")


class _Motion(click.ParamType[JogCommand]):
    name = "motion"

    def convert(self, value: Any, param: click.Parameter | None, ctx: click.Context | None) -> JogCommand:
        if isinstance(value, JogCommand):
            return value
        try:
            return jog_code(str(value))
        except ValueError as exc:
            self.fail(str(exc), param, ctx)


def _number(value: Any) -> str:
    return f"{value:.3f}" if isinstance(value, float) else str(value)


def _shown(code: JogCommand) -> str:
    return f"{code.name[0]}{'+' if code.name.endswith('FW') else '-'}"


def _end_jog(target: Target, client: cnc.CncAPIClientCore) -> None:
    """End the jog, through a connection of our own when the command's own was dropped."""
    try:
        if client.is_connected and client.cnc_jog_command(JogCommand.NONE):
            return
    except CliError:  # no reply within --timeout: that connection is gone
        pass
    m = target.machine()
    if not m.connect() or m.client is None:
        raise CliError(f"could not end the jog: cannot reach {target.name}", EXIT_UNREACHABLE)
    with m.use() as stopper:
        if not stopper.cnc_jog_command(JogCommand.NONE) and not stopper.cnc_stop():
            reason = explain_refusal(stopper, "cnc_jog_command", int(JogCommand.NONE))
            m.close()
            raise CliError(f"could not end the jog: {reason}")
    m.close()


def _end_after(target: Target, client: cnc.CncAPIClientCore, error: CliError) -> NoReturn:
    """End the jog after `error`, and say whether that worked along with the error."""
    try:
        _end_jog(target, client)
    except CliError as failed:
        raise CliError(f"{error.message}; {failed.message}", error.exit_code) from None
    raise CliError(f"{error.message}; the jog was ended", error.exit_code) from None


def _watch(client: cnc.CncAPIClientCore, name: str, interrupt: Interrupt, until: float) -> None:
    """Look at the machine until `until` (monotonic) or Ctrl-C; an alarm ends the jog as an error."""
    while not interrupt.sleep(max(0.0, min(POLL, until - time.monotonic()))):
        if time.monotonic() >= until:
            return
        state = cnc_info(client, name).state_machine
        if condition(state) == "alarm":
            raise CliError(f"{name} went into {code_name(State, state)} while jogging")


@click.command()
@target_options
@click.argument("motion", type=_Motion())
@click.option(
    "--for",
    "seconds",
    type=Seconds(0, MAX_WAIT, min_open=True),
    help="Jog this many seconds, then end the jog (default: until Ctrl-C).",
)
def jog(target: Target, motion: JogCommand, seconds: float | None) -> None:
    """Jog one axis: MOTION is the axis and the direction, such as X+ or Z-.

    The jog runs until Ctrl-C (or for --for SECONDS) and is then ended on the machine, also when
    the terminal closes or the machine stops answering. Ctrl-C before --for has passed exits 130.
    """
    m = target.connect()
    with interruptible() as interrupt, m.use() as client:
        previous_hup = signal.signal(signal.SIGHUP, interrupt._handler)
        try:
            command(client, target.name, "cnc_jog_command", int(motion))
            started = time.monotonic()
            try:
                _watch(client, target.name, interrupt, started + (seconds if seconds is not None else float("inf")))
            except CliError as exc:
                _end_after(target, client, exc)
            except BaseException:  # a second Ctrl-C: still end the jog
                _end_jog(target, client)
                raise
            _end_jog(target, client)
        finally:
            signal.signal(signal.SIGHUP, previous_hup)
        took = time.monotonic() - started
        axes = client.get_axes_info()
    m.close()
    where = ""
    index = "XYZABC".index(motion.name[0])
    if axes.has_data and isinstance(axes.machine_position, list) and len(axes.machine_position) > index:
        where = f", machine {motion.name[0]} at {printable(_number(axes.machine_position[index]))}"
    click.echo(f"jogged {_shown(motion)} for {took:.1f} s{where}")
    if interrupt and seconds is not None:
        raise SystemExit(EXIT_INTERRUPTED)
