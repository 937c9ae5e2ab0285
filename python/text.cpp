// Submodule `text`.
#include "submodules.hpp"

namespace zemo::py {

void register_text(PyObject* /*module*/) {}

}  // namespace zemo::py
