#include "module/function.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstdio>

#include "base/names.hpp"
#include "module/arguments.hpp"
#include "module/boundary.hpp"
#include "module/traceback.hpp"

namespace cnc {
namespace {

constexpr const char* kModuleName = "cnc_api_client_core";

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    const char* class_name;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* annotations;
    PyObject* code;
    PyObject* varnames;        // interned parameter names, `self` first
    PyObject* traceback_code;  // names the traceback entry, made on first use
    PyObject* dict;
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

void add_method_traceback(FunctionObject* f) noexcept {
    char where[256] = "";
    if (!f->traceback_code) std::snprintf(where, sizeof where, "%s.%s.%s", kModuleName, f->class_name, f->spec->name);
    add_traceback_entry(where, &f->traceback_code);
}

// This call's level of the interpreter's recursion count, as its own C
// functions enter one: methods that call each other through the instance
// then end in RecursionError instead of exhausting the C stack.
class RecursionLevel {
public:
    RecursionLevel() {
        if (Py_EnterRecursiveCall(" while calling a Python object")) raise_pending();
    }
    ~RecursionLevel() {
        if (may_touch_objects()) Py_LeaveRecursiveCall();
    }
    RecursionLevel(const RecursionLevel&) = delete;
    RecursionLevel& operator=(const RecursionLevel&) = delete;
};

// The body, with the method's failure rule: an absorbing method turns any
// error into its failure result; otherwise null with the error set.
PyObject* run_body(const MethodSpec& spec, const Call& call) {
    try {
        const RecursionLevel level;
        return spec.impl(call).release();
    } catch (...) {
        if (unwinding_for_finalization()) throw;
        set_error_from_current_exception();
    }
    if (!spec.absorb) return nullptr;
    PyErr_Clear();
    return spec.absorb(call).release();
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(callable);
    const MethodSpec& spec = *f->spec;
    try {
        BoundArguments bound;
        bind_arguments(spec, f->varnames, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
        if (PyObject* result = run_body(spec, {spec, bound.self(spec), bound.params(spec)})) return result;
    } catch (...) {
        if (unwinding_for_finalization()) park_thread();  // never unwind into the interpreter's frames
        set_error_from_current_exception();
    }
    add_method_traceback(f);
    return nullptr;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->traceback_code);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// Writable text attributes, as on the interpreter's functions.
int set_text(PyObject*& slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(slot, value);
    return 0;
}

// tp_clear may have emptied a slot of a function still reachable from Python.
PyObject* or_none(PyObject* value) { return value ? value : Py_None; }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(or_none(as_function(self)->name)); }
int set_name(PyObject* self, PyObject* value, void*) { return set_text(as_function(self)->name, value, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(or_none(as_function(self)->qualname)); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(or_none(as_function(self)->doc)); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XINCREF(value ? value : Py_None);
    Py_XSETREF(as_function(self)->doc, value ? value : Py_None);
    return 0;
}
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(or_none(as_function(self)->module)); }
PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(or_none(as_function(self)->annotations)); }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(or_none(as_function(self)->code)); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "cnc_api_client_core.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// Created once; lives as long as the process.
PyTypeObject* function_type = nullptr;

const char* annotation_text(Annotation annotation) {
    switch (annotation) {
        case Annotation::Unicode: return "unicode";
        case Annotation::Int: return "int";
        case Annotation::Float: return "float";
        case Annotation::List: return "list";
        case Annotation::None: break;
    }
    return nullptr;
}

Ref make_varnames(const MethodSpec& spec) {
    Ref names = check(PyTuple_New(spec.arity()));
    Py_ssize_t i = 0;
    if (!spec.is_static) PyTuple_SET_ITEM(names.get(), i++, check(PyUnicode_InternFromString("self")).release());
    for (int p = 0; p < spec.param_count(); ++p)
        PyTuple_SET_ITEM(names.get(), i++, check(PyUnicode_InternFromString(spec.params[p].name)).release());
    return names;
}

Ref make_annotations(const MethodSpec& spec) {
    Ref annotations = check(PyDict_New());
    for (int p = 0; p < spec.param_count(); ++p) {
        const char* text = annotation_text(spec.params[p].annotation);
        if (!text) continue;
        Ref value = check(PyUnicode_FromString(text));
        check(PyDict_SetItemString(annotations.get(), spec.params[p].name, value.get()));
    }
    if (spec.returns_bool) check(PyDict_SetItemString(annotations.get(), "return", (PyObject*)&PyBool_Type));
    return annotations;
}

// A real code object whose argument count and names describe the method, for
// `inspect` and other tools that read signatures from `__code__`.
Ref make_code(const MethodSpec& spec, PyObject* varnames, PyObject* qualname) {
    Ref empty = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kModuleName, spec.name, 1)));
    Ref replace = getattr(empty.get(), check(PyUnicode_InternFromString("replace")).get());
    Ref kwargs =
        check(Py_BuildValue("{s:i,s:i,s:O,s:O,s:i}", "co_argcount", spec.arity(), "co_nlocals", spec.arity(),
                            "co_varnames", varnames, "co_qualname", qualname, "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
    Ref args = check(PyTuple_New(0));
    return check(PyObject_Call(replace.get(), args.get(), kwargs.get()));
}

}  // namespace

bool ready_function_type() {
    if (!function_type) function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type != nullptr;
}

Ref make_function(const MethodSpec& spec, const char* class_name) {
    Ref varnames = make_varnames(spec);
    Ref name = check(PyUnicode_InternFromString(spec.name));
    Ref qualname = check(PyUnicode_FromFormat("%s.%s", class_name, spec.name));
    Ref doc = spec.doc ? check(PyUnicode_FromString(spec.doc)) : py_none();
    Ref module = check(PyUnicode_InternFromString(kModuleName));
    Ref annotations = make_annotations(spec);
    Ref code = make_code(spec, varnames.get(), qualname.get());

    FunctionObject* f = PyObject_GC_New(FunctionObject, function_type);
    if (!f) raise_pending();
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->class_name = class_name;
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->module = module.release();
    f->annotations = annotations.release();
    f->code = code.release();
    f->varnames = varnames.release();
    f->traceback_code = nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace cnc
