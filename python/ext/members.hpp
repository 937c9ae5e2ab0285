#pragma once
// The members of `zemo_etl._ext`, one registration function per source. Each
// adds its members to the module in their published order and throws
// PyErrorSet on failure.

#include "shell.hpp"

namespace zemo::py::ext {

void register_dump(PyObject* module);
void register_index(PyObject* module);
void register_state(PyObject* module);
void register_text(PyObject* module);

}  // namespace zemo::py::ext
