// The entry of `_ext`, the extension module for what `_native` (whose members
// are fixed) does not publish. Its members live directly on the module.

#include "members.hpp"

namespace zemo::py::ext {
namespace {

PyModuleDef ext_definition = {
    PyModuleDef_HEAD_INIT,
    "_ext",
    "Native helpers beside zemo_etl._native; used through the package's modules (zemo_etl.dump).",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void fill_ext(PyObject* module) {
    register_dump(module);
    register_index(module);
}

ModuleOnce ext{ext_definition, &fill_ext};

}  // namespace
}  // namespace zemo::py::ext

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__ext() {
    PyObject* module = nullptr;
    zemo::py::guarded([&] { module = zemo::py::create_module_once(zemo::py::ext::ext); });
    return module;
}
