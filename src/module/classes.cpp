#include "module/classes.hpp"

#include <string>

#include "base/names.hpp"
#include "context/info_context.hpp"
#include "module/function.hpp"
#include "module/methods.hpp"

namespace cnc {
namespace {

constexpr const char* kClientDoc =
    "\n"
    "    Class with API client core implementation.\n"
    "\n"
    "    An instance of this class reaches a single API Server.\n"
    "    If you have several CNC to reach you need to instance this class for each server.\n"
    "    ";

constexpr const char* kContextDoc = "Service class for cnc api info context";

// `__name` inside a class body is stored as `_Class__name`.
std::string class_private_name(const char* class_name, const char* name) {
    std::string text = name;
    if (text.size() <= 2 || !text.starts_with("__") || text.ends_with("__")) return text;
    std::string mangled = "_";
    mangled.append(class_name).append(text);
    return mangled;
}

Ref new_namespace(const char* class_name, const char* doc) {
    Ref ns = check(PyDict_New());
    check(PyDict_SetItemString(ns.get(), "__module__", check(PyUnicode_FromString("cnc_api_client_core")).get()));
    check(PyDict_SetItemString(ns.get(), "__qualname__", check(PyUnicode_FromString(class_name)).get()));
    check(PyDict_SetItemString(ns.get(), "__doc__", check(PyUnicode_FromString(doc)).get()));
    return ns;
}

void add_methods(PyObject* ns, Owner owner, const char* class_name) {
    Ref staticmethod = module_state::global("staticmethod");
    for (const MethodSpec& spec : kMethods) {
        if (spec.owner != owner) continue;
        Ref function = make_function(spec, class_name);
        if (spec.is_static) function = call(staticmethod.get(), function.get());
        check(PyDict_SetItemString(ns, class_private_name(class_name, spec.name).c_str(), function.get()));
    }
}

Ref make_class(const char* name, PyObject* ns) {
    return check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", name,
                                       reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns));
}

}  // namespace

void define_service_classes(PyObject* module_dict) {
    Ref client_ns = new_namespace("CncAPIClientCore", kClientDoc);
    add_methods(client_ns.get(), Owner::Client, "CncAPIClientCore");
    check(PyDict_SetItemString(module_dict, "CncAPIClientCore", make_class("CncAPIClientCore", client_ns.get()).get()));

    Ref context_ns = new_namespace("CncAPIInfoContext", kContextDoc);
    context::add_class_records(context_ns.get(), module_dict);
    add_methods(context_ns.get(), Owner::Context, "CncAPIInfoContext");
    check(PyDict_SetItemString(module_dict, "CncAPIInfoContext",
                               make_class("CncAPIInfoContext", context_ns.get()).get()));
}

}  // namespace cnc
