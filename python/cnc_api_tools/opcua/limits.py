"""A bound on monitored items, which the library leaves unbounded.

Sessions, subscriptions and message sizes are bounded by the library's own settings; the
number of monitored items is not, so one client could make the server hold millions. The
subscription service's create call is wrapped: items past the bound (over all sessions)
are refused one by one with BadTooManyMonitoredItems, the others made as asked.
"""

from __future__ import annotations

from typing import Any

from asyncua import ua

__all__ = ["bound_monitored_items"]


def _count(service: Any) -> int:
    return sum(len(sub.monitored_item_srv._monitored_items) for sub in service.subscriptions.values())


def bound_monitored_items(service: Any, limit: int) -> None:
    """Refuse monitored items past `limit` over all subscriptions of `service`."""
    create = service.create_monitored_items

    async def bounded(params: ua.CreateMonitoredItemsParameters) -> list[ua.MonitoredItemCreateResult]:
        room = limit - _count(service)
        items = list(params.ItemsToCreate)
        if len(items) <= room:
            return list(await create(params))
        params.ItemsToCreate = items[: max(room, 0)]
        made = list(await create(params)) if params.ItemsToCreate else []
        for _ in items[len(made) :]:
            refused = ua.MonitoredItemCreateResult()
            refused.StatusCode = ua.StatusCode(ua.StatusCodes.BadTooManyMonitoredItems)
            made.append(refused)
        return made

    service.create_monitored_items = bounded
