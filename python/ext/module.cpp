// The entry of `_ext`, the extension module for what `_native` (whose members
// are fixed) does not publish. Its members live directly on the module.

#include "members.hpp"

namespace zemo::py::ext {
namespace {

void fill_ext(PyObject* module) {
    register_dump(module);
    register_index(module);
    register_state(module);
    register_text(module);
}

ModuleOnce ext{
    .name = "_ext",
    .doc = "Native helpers beside zemo_etl._native; used through the package's modules (zemo_etl.dump).",
    .fill = &fill_ext,
};

}  // namespace
}  // namespace zemo::py::ext

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__ext() {
    return zemo::py::init_module_once(zemo::py::ext::ext);
}
