// Submodule `fuzzy`.
#include "submodules.hpp"

namespace zemo::py {

void register_fuzzy(PyObject* /*module*/) {}

}  // namespace zemo::py
