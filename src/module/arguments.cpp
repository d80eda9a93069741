#include "module/arguments.hpp"

namespace cnc {
namespace {

[[noreturn]] void raise_count(const MethodSpec& spec, Py_ssize_t given) {
    const int expected = spec.arity();
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name, "exactly",
                 static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s", given);
    raise_pending();
}

// Equality of a keyword with a parameter name; -1 with an error set.
int same_name(PyObject* name, PyObject* key) {
    if (name == key) return 1;
    if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) return 0;
    int cmp = PyUnicode_Compare(name, key);
    if (cmp == -1 && PyErr_Occurred()) return -1;
    return cmp == 0;
}

// The value passed by keyword for `name`, or null. Identity first: callers
// almost always pass interned names.
PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) continue;
        int same = same_name(name, key);
        if (same < 0) raise_pending();
        if (same) return kwvalues[i];
    }
    return nullptr;
}

// Judges the keywords left over once every parameter has a value: each must
// name a parameter not given by position.
void check_leftover_keywords(const MethodSpec& spec, PyObject* varnames, PyObject* kwnames, PyObject* const* kwvalues,
                             Py_ssize_t nargs, PyObject** slots) {
    const Py_ssize_t arity = PyTuple_GET_SIZE(varnames);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        bool matched = false;
        for (Py_ssize_t j = nargs; j < arity && !matched; ++j)
            if (PyTuple_GET_ITEM(varnames, j) == key) matched = true, slots[j] = kwvalues[k];
        if (matched) continue;
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            raise_pending();
        }
        for (Py_ssize_t j = nargs; j < arity && !matched; ++j) {
            int same = same_name(PyTuple_GET_ITEM(varnames, j), key);
            if (same < 0) raise_pending();
            if (same) matched = true, slots[j] = kwvalues[k];
        }
        if (matched) continue;
        for (Py_ssize_t j = 0; j < nargs; ++j) {
            int same = same_name(PyTuple_GET_ITEM(varnames, j), key);
            if (same < 0) raise_pending();
            if (same) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, key);
                raise_pending();
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
        raise_pending();
    }
}

// A function of one argument takes it by position only.
void bind_single(const MethodSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", spec.name);
        raise_pending();
    }
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", spec.name, nargs);
        raise_pending();
    }
    slots[0] = args[0];
}

void bind_several(const MethodSpec& spec, PyObject* varnames, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t arity = spec.arity();
    if (nargs > arity || (!kwnames && nargs != arity)) raise_count(spec, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (!kwnames) return;
    Py_ssize_t unused = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = nargs; i < arity; ++i) {
        slots[i] = find_keyword(kwnames, args + nargs, PyTuple_GET_ITEM(varnames, i));
        if (!slots[i]) raise_count(spec, i);
        --unused;
    }
    if (unused > 0) check_leftover_keywords(spec, varnames, kwnames, args + nargs, nargs, slots);
}

const char* expected_type_name(Annotation annotation) { return annotation == Annotation::Unicode ? "str" : "list"; }

bool has_expected_type(Annotation annotation, PyObject* value) {
    if (value == Py_None) return true;
    return annotation == Annotation::Unicode ? PyUnicode_CheckExact(value) : PyList_CheckExact(value);
}

void check_types_and_convert(const MethodSpec& spec, BoundArguments& out) {
    const int offset = spec.is_static ? 0 : 1;
    for (int i = 0; i < spec.param_count(); ++i) {
        const Param& param = spec.params[i];
        PyObject*& value = out.slots[offset + i];
        if (param.annotation == Annotation::Unicode || param.annotation == Annotation::List) {
            if (!has_expected_type(param.annotation, value)) {
                PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                             param.name, expected_type_name(param.annotation), Py_TYPE(value)->tp_name);
                raise_pending();
            }
        }
    }
    for (int i = 0; i < spec.param_count(); ++i) {
        if (spec.params[i].annotation != Annotation::Float) continue;
        PyObject*& value = out.slots[offset + i];
        if (PyFloat_CheckExact(value)) continue;
        const double converted = PyFloat_AsDouble(value);
        if (converted == -1.0 && PyErr_Occurred()) raise_pending();
        out.converted[offset + i] = check(PyFloat_FromDouble(converted));
        value = out.converted[offset + i].get();
    }
}

}  // namespace

void bind_arguments(const MethodSpec& spec, PyObject* varnames, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArguments& out) {
    if (spec.arity() == 1)
        bind_single(spec, args, nargs, kwnames, out.slots);
    else
        bind_several(spec, varnames, args, nargs, kwnames, out.slots);
    check_types_and_convert(spec, out);
}

}  // namespace cnc
