// Interned attribute names and the module's globals, looked up at call time so
// that a caller who rebinds a module attribute sees the change, as with code
// written in Python.
#pragma once

#include "base/ref.hpp"

namespace cnc {

#define CNC_NAMES(X)                                             \
    X(ipc, "ipc")                                                \
    X(is_connected, "is_connected")                              \
    X(settimeout, "settimeout")                                  \
    X(gettimeout, "gettimeout")                                  \
    X(recv, "recv")                                              \
    X(sendall, "sendall")                                        \
    X(connect, "connect")                                        \
    X(close, "close")                                            \
    X(fileno, "fileno")                                          \
    X(json, "json")                                              \
    X(socket, "socket")                                          \
    X(loads, "loads")                                            \
    X(dumps, "dumps")                                            \
    X(error, "error")                                            \
    X(af_inet, "AF_INET")                                        \
    X(sock_stream, "SOCK_STREAM")                                \
    X(lower, "lower")                                            \
    X(res, "res")                                                \
    X(has_data, "has_data")                                      \
    X(name, "name")                                              \
    X(JC_NONE, "JC_NONE")                                        \
    X(JC_C_FW, "JC_C_FW")                                        \
    X(send_command, "_CncAPIClientCore__send_command")           \
    X(execute_request, "_CncAPIClientCore__execute_request")     \
    X(evaluate_response, "_CncAPIClientCore__evaluate_response") \
    X(context_api, "_CncAPIInfoContext__api")                    \
    X(axes_info, "axes_info")                                    \
    X(cnc_info, "cnc_info")                                      \
    X(compile_info, "compile_info")                              \
    X(enabled_commands, "enabled_commands")                      \
    X(get_axes_info, "get_axes_info")                            \
    X(get_cnc_info, "get_cnc_info")                              \
    X(get_compile_info, "get_compile_info")                      \
    X(get_enabled_commands, "get_enabled_commands")

namespace names {
#define CNC_DECLARE_NAME(id, text) extern PyObject* id;
CNC_NAMES(CNC_DECLARE_NAME)
#undef CNC_DECLARE_NAME

// Interns every name once per process. Throws PyErrorSet.
void intern_all();
}  // namespace names

namespace module_state {
// The executed module object (borrowed); null before execution.
PyObject* module();
void set_module(PyObject* module);
// The module's attribute `name` (interned text) as Python reads a global:
// the module first, then the builtins; NameError when neither has it.
Ref global(PyObject* name);
Ref global(const char* name);
// Shared small values, made while loading and kept for the process's life.
PyObject* empty_text();
PyObject* no_wait();     // 0.0: the flush never blocks
PyObject* first_byte();  // 5 seconds for the first byte of a reply
PyObject* next_byte();   // 1 second for each further byte
PyObject* one();         // the generic path receives a byte at a time
PyObject* flush_size();  // at most 1024 stale bytes are discarded
// Makes the shared values. Throws PyErrorSet.
void make_shared_values();
}  // namespace module_state

}  // namespace cnc
