// `_ext`, the module for what `_native` (whose members are fixed) does not
// publish. `_native`'s entry creates it in the same shared object, so both
// share one copy of the core and its worker pool. Its members live directly
// on the module.

#include "members.hpp"

namespace zemo::py::ext {

PyObject* create_module() {
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT,
        "zemo_etl._ext",
        "Native helpers beside zemo_etl._native; used through the package's modules (zemo_etl.dump).",
        0, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    Ref module(check(PyModule_Create(&definition)));
    register_dump(module.get());
    register_index(module.get());
    register_state(module.get());
    register_text(module.get());
    register_careful(module.get());
    return module.release();
}

}  // namespace zemo::py::ext
