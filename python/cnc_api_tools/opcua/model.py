"""The address space: one object per machine under Objects/Machines.

    Machines/<name>/
        Identification/   Name, Address, Labels/<label>, ConnectionState, Connected
        Monitoring/Channel/   State, StateCode, Alarm, feeds, overrides, ToolNumber, (Machine)Positions/<axis>
        Monitoring/Spindle/   SpeedProgrammed, SpeedTarget, SpeedActual, SpeedOverride, Load
        Production/ActiveProgram/   Name, Line, CompileState, EstimatedTime, ElapsedTime
        (methods with --allow-control: Start, Stop, Pause, Resume, LoadProgram, SetOverride)

Node ids are strings, "<name>/<path>" in the server's namespace, so a client can address a
node without browsing and the ids stay the same across restarts; a machine's name holds no
"/", so two machines' ids never meet.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from asyncua import Node, Server, ua
from asyncua.server.event_generator import EventGenerator

from .values import VARIABLES

__all__ = ["NAMESPACE", "MachineNodes", "add_machine", "add_machines_folder"]

NAMESPACE = "urn:cnc-api:opcua"

_VARIANT = {
    "String": ua.VariantType.String,
    "Int32": ua.VariantType.Int32,
    "Double": ua.VariantType.Double,
    "Boolean": ua.VariantType.Boolean,
}


@dataclass
class MachineNodes:
    """The nodes of one machine the bridge writes to."""

    name: str
    object_id: ua.NodeId
    variables: list[ua.NodeId]  # in the order of VARIABLES
    connection_state: ua.NodeId
    connected: ua.NodeId
    events: EventGenerator
    methods: dict[ua.NodeId, str] = field(default_factory=dict)  # method node -> method name


def node_id(idx: int, *path: str) -> ua.NodeId:
    return ua.NodeId("/".join(path), idx)


_INITIAL: dict[str, object] = {"String": "", "Int32": 0, "Double": 0.0, "Boolean": False}


def waiting() -> ua.DataValue:
    return ua.DataValue(ua.Variant(None, ua.VariantType.Null), ua.StatusCode(ua.StatusCodes.BadWaitingForInitialData))


async def add_machines_folder(server: Server, idx: int) -> Node:
    # A numeric id: no machine's string id can take it.
    return await server.nodes.objects.add_folder(ua.NodeId(1, idx), ua.QualifiedName("Machines", idx))


async def _child(parents: dict[tuple[str, ...], Node], idx: int, name: str, path: tuple[str, ...]) -> Node:
    """The object at `path` below the machine, made (with the objects above it) on first use."""
    node = parents.get(path)
    if node is None:
        above = await _child(parents, idx, name, path[:-1])
        node = await above.add_object(node_id(idx, name, *path), ua.QualifiedName(path[-1], idx))
        parents[path] = node
    return node


async def _identification(
    parents: dict[tuple[str, ...], Node], idx: int, name: str, address: str, labels: dict[str, str]
) -> tuple[ua.NodeId, ua.NodeId]:
    ident = await _child(parents, idx, name, ("Identification",))
    await ident.add_property(node_id(idx, name, "Identification", "Name"), ua.QualifiedName("Name", idx), name)
    await ident.add_property(node_id(idx, name, "Identification", "Address"), ua.QualifiedName("Address", idx), address)
    if labels:
        folder = await _child(parents, idx, name, ("Identification", "Labels"))
        for key, value in sorted(labels.items()):
            await folder.add_property(
                node_id(idx, name, "Identification", "Labels", key),
                ua.QualifiedName(key, idx),
                value,
                ua.VariantType.String,
            )
    state = await ident.add_variable(
        node_id(idx, name, "Identification", "ConnectionState"),
        ua.QualifiedName("ConnectionState", idx),
        "new",
        ua.VariantType.String,
    )
    connected = await ident.add_variable(
        node_id(idx, name, "Identification", "Connected"),
        ua.QualifiedName("Connected", idx),
        False,
        ua.VariantType.Boolean,
    )
    return state.nodeid, connected.nodeid


async def add_machine(
    server: Server, idx: int, folder: Node, name: str, address: str, labels: dict[str, str]
) -> MachineNodes:
    """Build one machine's object with its variables, all waiting for a first poll."""
    obj = await folder.add_object(node_id(idx, name), ua.QualifiedName(name, idx))
    parents: dict[tuple[str, ...], Node] = {(): obj}
    state, connected = await _identification(parents, idx, name, address, labels)
    ids: list[ua.NodeId] = []
    for var in VARIABLES:
        parent = await _child(parents, idx, name, var.path[:-1])
        node = await parent.add_variable(
            node_id(idx, name, *var.path), ua.QualifiedName(var.path[-1], idx), _INITIAL[var.kind], _VARIANT[var.kind]
        )
        await node.write_attribute(ua.AttributeIds.Description, ua.DataValue(ua.LocalizedText(var.description)))
        await server.write_attribute_value(node.nodeid, waiting())
        ids.append(node.nodeid)
    events = await server.get_event_generator(ua.ObjectIds.BaseEventType, obj)
    events.event.Severity = 100
    return MachineNodes(name, obj.nodeid, ids, state, connected, events)
