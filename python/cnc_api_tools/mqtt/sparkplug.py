"""Sparkplug B payloads, built with protobuf's descriptor API (no generated code, nothing fetched).

Only the part of the Sparkplug B schema a bridge sends: the payload with its time stamp, sequence
number and metrics, and a metric's name, time stamp, data type and value.
"""

from __future__ import annotations

from typing import Any

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

__all__ = ["BOOLEAN", "DOUBLE", "INT64", "STRING", "UINT64", "Payload", "metric_type", "topic"]

NAMESPACE = "spBv1.0"
# Sparkplug B data type codes.
INT64, UINT64, DOUBLE, BOOLEAN, STRING = 4, 8, 10, 11, 12

_F = descriptor_pb2.FieldDescriptorProto


def _schema() -> descriptor_pb2.FileDescriptorProto:
    file = descriptor_pb2.FileDescriptorProto(
        name="cnc_api_sparkplug_b.proto", package="org.eclipse.tahu.protobuf", syntax="proto2"
    )
    payload = file.message_type.add(name="Payload")
    metric = payload.nested_type.add(name="Metric")
    optional, repeated = _F.LABEL_OPTIONAL, _F.LABEL_REPEATED
    for name, number, kind in (
        ("name", 1, _F.TYPE_STRING),
        ("alias", 2, _F.TYPE_UINT64),
        ("timestamp", 3, _F.TYPE_UINT64),
        ("datatype", 4, _F.TYPE_UINT32),
        ("is_historical", 5, _F.TYPE_BOOL),
        ("is_transient", 6, _F.TYPE_BOOL),
        ("is_null", 7, _F.TYPE_BOOL),
        ("int_value", 10, _F.TYPE_UINT32),
        ("long_value", 11, _F.TYPE_UINT64),
        ("float_value", 12, _F.TYPE_FLOAT),
        ("double_value", 13, _F.TYPE_DOUBLE),
        ("boolean_value", 14, _F.TYPE_BOOL),
        ("string_value", 15, _F.TYPE_STRING),
        ("bytes_value", 16, _F.TYPE_BYTES),
    ):
        field = metric.field.add(name=name, number=number, type=kind, label=optional)
        if number >= 10:
            field.oneof_index = 0
    metric.oneof_decl.add(name="value")
    payload.field.add(name="timestamp", number=1, type=_F.TYPE_UINT64, label=optional)
    payload.field.add(
        name="metrics",
        number=2,
        type=_F.TYPE_MESSAGE,
        label=repeated,
        type_name=".org.eclipse.tahu.protobuf.Payload.Metric",
    )
    payload.field.add(name="seq", number=3, type=_F.TYPE_UINT64, label=optional)
    payload.field.add(name="uuid", number=4, type=_F.TYPE_STRING, label=optional)
    payload.field.add(name="body", number=5, type=_F.TYPE_BYTES, label=optional)
    return file


_pool = descriptor_pool.DescriptorPool()
_pool.Add(_schema())
Payload: Any = message_factory.GetMessageClass(_pool.FindMessageTypeByName("org.eclipse.tahu.protobuf.Payload"))


def metric_type(value: object) -> int:
    if isinstance(value, bool):
        return BOOLEAN
    if isinstance(value, int):
        return INT64 if value >= -(2**63) and value < 2**63 else DOUBLE
    if isinstance(value, float):
        return DOUBLE
    return STRING


def add_metric(payload: Any, name: str, value: object, millis: int, kind: int | None = None) -> None:
    """A metric of `value`'s type (or `kind`); None is a null metric (type String)."""
    metric = payload.metrics.add()
    metric.name = name
    metric.timestamp = millis
    if value is None:
        metric.datatype = STRING
        metric.is_null = True
        return
    kind = metric.datatype = kind or metric_type(value)
    if kind == BOOLEAN:
        metric.boolean_value = bool(value)
    elif kind in (INT64, UINT64):
        assert isinstance(value, int)
        metric.long_value = value & 0xFFFFFFFFFFFFFFFF  # two's complement, as Sparkplug carries Int64
    elif kind == DOUBLE:
        metric.double_value = float(value)  # type: ignore[arg-type]
    else:
        metric.string_value = str(value)


def metric_value(metric: Any) -> object:
    """A received metric's value in Python terms (for readers and tests)."""
    if metric.is_null:
        return None
    kind = metric.datatype
    if kind == BOOLEAN:
        return bool(metric.boolean_value)
    if kind == UINT64:
        return int(metric.long_value)
    if kind == INT64:
        v = int(metric.long_value)
        return v - 2**64 if v >= 2**63 else v
    if kind == DOUBLE:
        return float(metric.double_value)
    return str(metric.string_value)


def flatten(values: dict[str, dict[str, Any]]) -> dict[str, object]:
    """Topic values as Sparkplug metric names: state/state, position/machine/X, ..."""
    flat: dict[str, object] = {}
    for topic, value in values.items():
        _flatten_into(flat, topic, value)
    return flat


def _flatten_into(flat: dict[str, object], name: str, value: object) -> None:
    if isinstance(value, dict):
        for key, inner in value.items():
            _flatten_into(flat, f"{name}/{key}", inner)
    else:
        flat[name] = value


def topic(group: str, kind: str, node: str, device: str | None = None) -> str:
    parts = [NAMESPACE, group, kind, node] + ([device] if device is not None else [])
    return "/".join(parts)
