#pragma once
// The members of `zemo_etl._ext`, one registration function per source. Each
// adds its members to the module in their published order and throws
// PyErrorSet on failure. `create_module` makes the module with all of them.

#include "shell.hpp"

namespace zemo::py::ext {

void register_careful(PyObject* module);
void register_dump(PyObject* module);
void register_index(PyObject* module);
void register_state(PyObject* module);
void register_text(PyObject* module);

// A new reference to a new `_ext` module, named "zemo_etl._ext".
PyObject* create_module();

}  // namespace zemo::py::ext
