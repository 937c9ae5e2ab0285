#pragma once
// One registration function per submodule, each in its own source. Each adds
// its members to the new submodule in their published order and throws
// PyErrorSet on failure.

#include "shell.hpp"

namespace zemo::py {

void register_text(PyObject* module);
void register_parser(PyObject* module);
void register_pg(PyObject* module);
void register_state(PyObject* module);
void register_import_utils(PyObject* module);
void register_schema(PyObject* module);
void register_fuzzy(PyObject* module);

}  // namespace zemo::py
