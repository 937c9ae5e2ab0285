// The module entry: creates `_native` and its seven submodules once per
// process, and beside them `_ext` (ext/module.cpp), which `_native` does not
// list as a member: one shared object, one core, one worker pool.

#include "ext/members.hpp"
#include "submodules.hpp"

namespace zemo::py {
namespace {

using Registration = void (*)(PyObject*);

// Enters `module` in sys.modules as "zemo_etl.<name>", where imports find it.
void enter_in_sys_modules(const char* name, PyObject* module) {
    std::string key = std::string("zemo_etl.") + name;
    Ref sys(check(PyImport_ImportModule("sys")));
    Ref modules(check(PyObject_GetAttrString(sys.get(), "modules")));
    if (PyMapping_SetItemString(modules.get(), key.c_str(), module) != 0) throw_current();
}

// Creates submodule `name`, fills it, attaches it to `parent` and enters it
// in sys.modules.
void register_submodule(PyObject* parent, const char* name, Registration registration) {
    Ref sub(check(PyModule_New(name)));
    registration(sub.get());
    Py_INCREF(sub.get());
    add_member(parent, name, sub.get());
    enter_in_sys_modules(name, sub.get());
}

void fill_native(PyObject* module) {
    register_submodule(module, "text", &register_text);
    register_submodule(module, "parser", &register_parser);
    register_submodule(module, "pg", &register_pg);
    register_submodule(module, "state", &register_state);
    register_submodule(module, "import_utils", &register_import_utils);
    register_submodule(module, "schema", &register_schema);
    register_submodule(module, "fuzzy", &register_fuzzy);
    Ref ext(ext::create_module());
    enter_in_sys_modules("_ext", ext.get());
}

ModuleOnce native{.name = "_native", .doc = "", .fill = &fill_native};  // __doc__ is an empty str

}  // namespace
}  // namespace zemo::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    return zemo::py::init_module_once(zemo::py::native);
}
