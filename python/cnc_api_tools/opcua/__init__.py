"""`cnc-api opcua`: machines as objects of an OPC UA server (the `[opcua]` extra, asyncua).

`bridge.OpcUaBridge` is the server; `model` builds its address space, `values` turns a poll into
the variables' values, `feed` carries them from the pollers to the server's loop, `control` runs
the methods and `security` decides who may call them. Importing this package needs no asyncua.
"""
