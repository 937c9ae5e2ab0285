// Submodule `pg`.
#include "submodules.hpp"

namespace zemo::py {

void register_pg(PyObject* /*module*/) {}

}  // namespace zemo::py
