// Submodule `parser`.
#include "submodules.hpp"

namespace zemo::py {

void register_parser(PyObject* /*module*/) {}

}  // namespace zemo::py
