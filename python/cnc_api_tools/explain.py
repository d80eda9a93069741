"""A reason for a command the control refused, read from what the control reports.

A command returns a bare ``False``; the control's enabled commands, state and
compile result usually tell why::

    if not client.cnc_start():
        print(explain_refusal(client, "cnc_start"))
    # cnc_start is not enabled in state IDLE: a program analysis is still running

or, raising instead of returning False::

    checked_call(client, "cnc_start")      # CommandRefused: cnc_start ...

The reason is read after the refusal, so a condition that has just passed can
show as "reports it enabled now".
"""

from __future__ import annotations

from typing import Any

import cnc_api_client_core as cnc

from .codes import FINAL_COMPILE_STATES, CompileState, JogCommand, State, axis_letters, code_name, condition

__all__ = ["CommandRefused", "checked_call", "explain_refusal"]

# Commands whose permission is a mask of axes rather than a truth value.
_MASK_FIELDS = {"cnc_homing", "cnc_jog_command", "set_program_position"}

_OVERRIDES = {
    "set_override_fast": "override_fast",
    "set_override_feed": "override_feed",
    "set_override_feed_custom_1": "override_feed_custom_1",
    "set_override_feed_custom_2": "override_feed_custom_2",
    "set_override_jog": "override_jog",
    "set_override_spindle": "override_spindle",
    "set_override_plasma_power": "plasma_power",
    "set_override_plasma_voltage": "plasma_voltage",
}

_FILE_COMMANDS = {"program_load": "load", "program_save": "save"}

_START_COMMANDS = {
    "cnc_start",
    "cnc_start_from_line",
    "cnc_start_from_point",
    "cnc_resume",
    "cnc_resume_from_line",
    "cnc_resume_from_point",
    "program_analysis",
}


class CommandRefused(RuntimeError):
    """A command returned False; `reason` says why, as far as the control tells."""

    def __init__(self, command: str, reason: str) -> None:
        super().__init__(reason)
        self.command = command
        self.reason = reason


def _enabled_field(command: str) -> str | None:
    if command.startswith("set_program_position_"):
        return "set_program_position"
    if command == "set_cnc_parameters":
        return "cnc_parameters"
    if command in cnc.APIEnabledCommands.__dict__ and command != "has_data":
        return command
    return None


def _axis_bit(command: str, args: tuple[Any, ...]) -> int | None:
    """The axis mask a command asks for, where one can be told from its arguments."""
    if command == "cnc_homing" and args and isinstance(args[0], int):
        return args[0]
    if command.startswith("set_program_position_"):
        return 1 << "xyzabc".index(command[-1])
    if command == "cnc_jog_command" and args and isinstance(args[0], int) and args[0] > 0:
        return 1 << ((args[0] - 1) // 2)
    return None


def _compile_detail(info: cnc.APICompileInfo) -> str | None:
    if not info.has_data:
        return None
    if info.state == CompileState.ERROR:
        where = f"{info.file_name or '<program>'}:{info.file_line}"
        code = f" (code {info.code})" if info.code else ""
        return f"the program does not compile: {info.message or 'error'}{code} at {where}"
    if info.state not in FINAL_COMPILE_STATES and info.state != CompileState.INIT:
        return f"the program is still being compiled ({code_name(CompileState, info.state)})"
    return None


def _why_not_enabled(
    command: str, state: Any, enabled: cnc.APIEnabledCommands, compiled: cnc.APICompileInfo
) -> list[str]:
    hints: list[str] = []
    detail = _compile_detail(compiled)
    if detail and (command in _START_COMMANDS or compiled.state == CompileState.ERROR):
        hints.append(detail)
    if enabled.program_analysis_abort is True:
        hints.append("a program analysis is still running")
    kind = condition(state)
    if kind == "alarm":
        hints.append("the machine is in alarm")
    elif kind in ("run", "pause") and command not in ("cnc_stop", "cnc_pause", "cnc_continue", "cnc_resume"):
        hints.append("the machine is busy")
    if command in _START_COMMANDS and compiled.has_data and compiled.state == CompileState.INIT:
        hints.append("no program is loaded")
    return hints


def _override_reason(command: str, args: tuple[Any, ...], info: cnc.APICncInfo) -> str | None:
    field = _OVERRIDES[command]
    if getattr(info, f"{field}_locked") is True:
        return f"the {field} override is locked"
    if getattr(info, f"{field}_enabled") is False:
        return f"the {field} override is not enabled"
    low, high = getattr(info, f"{field}_min"), getattr(info, f"{field}_max")
    if args:
        try:
            value = int(args[0])
        except (TypeError, ValueError, OverflowError):
            return None
        if not low <= value <= high:
            return f"{value} is outside the {field} range {low}..{high}"
    return None


def _short(arg: object, limit: int = 60) -> str:
    """An argument as the message shows it: a whole program's text is no part of one line."""
    text = repr(arg)
    return text if len(text) <= limit else f"{text[: limit - 15]}... ({len(text)} chars)"


def explain_refusal(client: cnc.CncAPIClientCore, command: str, *args: Any) -> str:
    """Why `command` (a method name of the client, with the arguments it was given) returned False.

    Sends up to three queries on `client`; never raises for a reason it cannot find.
    """
    if not client.is_connected:
        return f"{command} failed: not connected to the API server (closed or lost; a new client is needed)"
    if command == "cnc_jog_command" and args:
        if not isinstance(args[0], int) or not JogCommand.NONE <= args[0] <= JogCommand.C_FW:
            return f"{command} refused: {args[0]!r} is not a jog code (0..12); nothing was sent"
    enabled = client.get_enabled_commands()
    info = client.get_cnc_info()
    compiled = client.get_compile_info()
    if not client.is_connected:
        return f"{command} failed: the connection to the API server was lost"
    state = code_name(State, info.state_machine) if info.has_data else "unknown"
    field = _enabled_field(command)
    if enabled.has_data and field is not None:
        allowed = getattr(enabled, field)
        wanted = _axis_bit(command, args) if field in _MASK_FIELDS else None
        ok = bool(allowed) if wanted is None or isinstance(allowed, bool) else (int(allowed) & wanted) == wanted
        if not ok:
            if wanted is not None and allowed and not isinstance(allowed, bool):
                missing = axis_letters(wanted & ~int(allowed)) or "?"
                head = f"{command} is not enabled for axes {missing} in state {state}"
            else:
                head = f"{command} is not enabled in state {state}"
            hints = _why_not_enabled(command, info.state_machine, enabled, compiled)
            return head + (": " + "; ".join(hints) if hints else "")
    if command in _OVERRIDES and info.has_data:
        reason = _override_reason(command, args, info)
        if reason:
            return f"{command} refused: {reason}"
    detail = _compile_detail(compiled)
    shown = ", ".join(_short(a) for a in args)
    text = f"the control refused {command}({shown}) in state {state}"
    if command == "cnc_mdi_command" and enabled.has_data and enabled.cnc_mdi_command is True:
        # Manual input is open, so what was refused is the line itself.
        text += ": it did not accept the line (MDI is enabled; check the line's codes and values)"
    elif command in _FILE_COMMANDS and enabled.has_data and getattr(enabled, command) is True:
        # The command is open, so what was refused is the name: a path on the control's side.
        text += f": it could not {_FILE_COMMANDS[command]} that file (a path as the control sees it)"
    elif enabled.has_data and field is not None:
        text += f"; it reports {command} enabled now"
    if detail:
        text += f"; {detail}"
    return text


def checked_call(client: cnc.CncAPIClientCore, command: str, *args: Any) -> None:
    """Call the command method `command`; raise CommandRefused with the reason when it returns False."""
    if getattr(client, command)(*args) is not True:
        raise CommandRefused(command, explain_refusal(client, command, *args))
