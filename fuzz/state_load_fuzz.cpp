// Any bytes as a state file: loading must fail cleanly or give a state whose
// saved form loads back to the same state and saves to the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "state/state.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zemo::state::PipelineState;
    auto loaded = PipelineState::from_json(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!loaded) return 0;
    // Strings out of the parser are UTF-8, so the state always serialises.
    auto written = loaded.value().to_json();
    if (!written) std::abort();
    auto reloaded = PipelineState::from_json(written.value());
    if (!reloaded || !(reloaded.value() == loaded.value())) std::abort();
    auto rewritten = reloaded.value().to_json();
    if (!rewritten || rewritten.value() != written.value()) std::abort();
    return 0;
}
