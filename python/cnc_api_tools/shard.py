"""Splitting a fleet between processes: `--shard K/N` keeps the machines whose names fall to shard K.

Rendezvous (highest random weight) hashing: each machine goes to the shard whose hash with the machine's
name is highest. Every process computes the same split on its own, and going from N to N+1 processes moves
only the machines that the new shard wins, about 1/(N+1) of them; the others stay where they were.
The hash is BLAKE2b of the name, not Python's hash(), which differs between processes.
"""

from __future__ import annotations

import hashlib
from collections.abc import Iterable
from typing import Protocol, TypeVar

__all__ = ["MAX_SHARDS", "parse_shard", "select", "shard_of"]

MAX_SHARDS = 1024


class _Named(Protocol):
    @property
    def name(self) -> str: ...


_T = TypeVar("_T", bound="str | _Named")


def _weight(name: str, shard: int) -> int:
    digest = hashlib.blake2b(name.encode("utf-8"), digest_size=8, person=b"cnc-shard", salt=shard.to_bytes(8, "big"))
    return int.from_bytes(digest.digest(), "big")


def shard_of(name: str, count: int) -> int:
    """The shard (1 to `count`) that owns the machine called `name`."""
    if not 1 <= count <= MAX_SHARDS:
        raise ValueError(f"shard count must be from 1 to {MAX_SHARDS}")
    # Ties are as good as impossible with 64-bit weights; the lower shard number breaks them.
    return max(range(1, count + 1), key=lambda k: (_weight(name, k), -k))


def parse_shard(text: str) -> tuple[int, int]:
    """``K/N`` as (K, N), 1 <= K <= N; raises ValueError with a message for the user."""
    k_text, sep, n_text = text.strip().partition("/")
    if not sep or not k_text.strip().isdigit() or not n_text.strip().isdigit():
        raise ValueError(f"shard {text!r} is not K/N (for example 1/3)")
    k, n = int(k_text), int(n_text)
    if not 1 <= n <= MAX_SHARDS:
        raise ValueError(f"shard {text!r}: N must be from 1 to {MAX_SHARDS}")
    if not 1 <= k <= n:
        raise ValueError(f"shard {text!r}: K must be from 1 to N")
    return k, n


def select(names: Iterable[_T], k: int, n: int) -> list[_T]:
    """The items of `names` (strings, or objects with a `name`) that shard `k` of `n` owns, in their order."""
    chosen: list[_T] = []
    for item in names:
        name = item if isinstance(item, str) else item.name
        if shard_of(name, n) == k:
            chosen.append(item)
    return chosen
