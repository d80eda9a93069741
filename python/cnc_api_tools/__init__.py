"""Tools around `cnc_api_client_core`: names for codes, record helpers, wire trace, refusal
reasons, reconnecting machine handles, an asyncio client, and the `cnc-api` command line."""

from typing import TYPE_CHECKING, Any

from .codes import (
    AnalysisMode,
    Axis,
    CompileState,
    JogCommand,
    SpindleStatus,
    State,
    ToolType,
    UnitsMode,
    code_name,
    condition,
)
from .explain import CommandRefused, checked_call, explain_refusal
from .link import Backoff, Link, LinkStatus, parse_endpoint
from .machine import Machine, NotConnected, Snapshot
from .records import as_dict, diff, field_names, records_equal, summary
from .trace import trace, trace_from_env, untrace

if TYPE_CHECKING:
    from .aio import AsyncClient, AsyncMachine


def __getattr__(name: str) -> Any:
    # asyncio is imported only by those who use the asyncio client; the command line starts faster.
    if name in ("AsyncClient", "AsyncMachine"):
        from . import aio

        return getattr(aio, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    # The lazily imported names too, so editors and dir() offer them.
    return sorted(set(globals()) | set(__all__))


__all__ = [
    "AnalysisMode",
    "AsyncClient",
    "AsyncMachine",
    "Axis",
    "Backoff",
    "CommandRefused",
    "CompileState",
    "JogCommand",
    "Link",
    "LinkStatus",
    "Machine",
    "NotConnected",
    "Snapshot",
    "SpindleStatus",
    "State",
    "ToolType",
    "UnitsMode",
    "as_dict",
    "checked_call",
    "code_name",
    "condition",
    "diff",
    "explain_refusal",
    "field_names",
    "parse_endpoint",
    "records_equal",
    "summary",
    "trace",
    "trace_from_env",
    "untrace",
]
