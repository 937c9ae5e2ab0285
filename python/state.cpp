// Submodule `state`.
#include "submodules.hpp"

namespace zemo::py {

void register_state(PyObject* /*module*/) {}

}  // namespace zemo::py
