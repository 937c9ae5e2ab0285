// The module entry: creates `_native` and its seven submodules once per process.

#include <atomic>

#include "submodules.hpp"

namespace zemo::py {
namespace {

PyModuleDef native_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "",  // __doc__ is an empty str
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first loaded the module, and the module itself: both
// process-wide, since the module is never torn down.
std::atomic<std::int64_t> first_interpreter{-1};
PyObject* native_module = nullptr;

using Registration = void (*)(PyObject*);

// Creates submodule `name`, fills it, attaches it to `parent` and enters it
// in sys.modules as "zemo_etl.<name>".
void register_submodule(PyObject* parent, const char* name, Registration registration) {
    Ref sub(check(PyModule_New(name)));
    registration(sub.get());
    Py_INCREF(sub.get());
    add_member(parent, name, sub.get());
    std::string key = std::string("zemo_etl.") + name;
    Ref sys(check(PyImport_ImportModule("sys")));
    Ref modules(check(PyObject_GetAttrString(sys.get(), "modules")));
    if (PyMapping_SetItemString(modules.get(), key.c_str(), sub.get()) != 0) throw_current();
}

PyObject* init_native() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_current();
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "zemo_etl._native does not support subinterpreters: it was already initialised in another "
              "interpreter of this process");
    }
    if (native_module != nullptr) {
        Py_INCREF(native_module);
        return native_module;
    }
    Ref module(check(PyModule_Create(&native_definition)));
    register_submodule(module.get(), "text", &register_text);
    register_submodule(module.get(), "parser", &register_parser);
    register_submodule(module.get(), "pg", &register_pg);
    register_submodule(module.get(), "state", &register_state);
    register_submodule(module.get(), "import_utils", &register_import_utils);
    register_submodule(module.get(), "schema", &register_schema);
    register_submodule(module.get(), "fuzzy", &register_fuzzy);
    Py_INCREF(module.get());
    native_module = module.get();
    return module.release();
}

}  // namespace
}  // namespace zemo::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    PyObject* module = nullptr;
    zemo::py::guarded([&] { module = zemo::py::init_native(); });
    return module;
}
