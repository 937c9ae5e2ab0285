// Any bytes as a state file: loading must fail cleanly with a message or give
// a state whose saved form loads back to the same state and saves to the
// same bytes, through a real file as well.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "state/state.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zemo::state::PipelineState;
    auto loaded = PipelineState::from_json(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!loaded) {
        if (loaded.error().message().empty()) std::abort();
        return 0;
    }
    // Strings out of the parser are UTF-8, so the state always serialises.
    auto written = loaded.value().to_json();
    if (!written) std::abort();
    auto reloaded = PipelineState::from_json(written.value());
    if (!reloaded || !(reloaded.value() == loaded.value())) std::abort();
    auto rewritten = reloaded.value().to_json();
    if (!rewritten || rewritten.value() != written.value()) std::abort();
    static const std::string path = "/tmp/zemo_state_fuzz_" + std::to_string(::getpid()) + ".json";
    if (!loaded.value().save(path)) std::abort();
    auto from_file = PipelineState::load(path);
    if (!from_file || !(from_file.value() == loaded.value())) std::abort();
    return 0;
}
