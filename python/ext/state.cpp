// A state file as PipelineState.load reads it (older versions migrated),
// given back as text in the current version, nothing written: how a caller
// learns the steps a file holds, which the published class does not list.

#include <string>

#include "members.hpp"
#include "state/state.hpp"

namespace zemo::py::ext {
namespace {

PyObject* state_file_text(Call& c) {
    Result<state::PipelineState> loaded = state::PipelineState::load(std::string(c.text(0)));
    if (!loaded) raise_runtime(loaded.error());
    Result<std::string> text = loaded.value().to_json();
    if (!text) raise_runtime(text.error());
    return str(text.value());
}

constexpr Function kFunctions[] = {
    {.name = "state_file_text",
     .params = {{.name = "path", .kind = Kind::Text}},
     .doc = "The state file at path as PipelineState.load reads it (older versions migrated), as the\n"
            "text its save would write now; nothing is written. RuntimeError as for PipelineState.load.",
     .impl = &state_file_text},
};

}  // namespace

void register_state(PyObject* module) { add_functions<kFunctions>(module); }

}  // namespace zemo::py::ext
