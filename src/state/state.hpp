#pragma once
// The step-status record of a resumable pipeline run and its JSON state file.
//
// A run loads the file, checks with validate_resume that it belongs to the
// same database and CSV directory, skips the steps already completed, marks
// each step as it finishes and saves after every change. Files written by
// older pipelines (versions 1 and 2, which had fewer steps) are migrated on
// load; every save writes the current version.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "common/error.hpp"

namespace zemo::state {

struct Pending {
    bool operator==(const Pending&) const = default;
};
struct Completed {
    bool operator==(const Completed&) const = default;
};
struct Failed {
    std::optional<std::string> error;
    bool operator==(const Failed&) const = default;
};
using StepStatus = std::variant<Pending, Completed, Failed>;

// "pending", "completed" or "failed".
std::string_view status_name(const StepStatus& status) noexcept;

inline constexpr std::uint32_t CURRENT_STATE_VERSION = 3;

// The steps of the current pipeline, in the order they run.
inline constexpr std::array<std::string_view, 9> PIPELINE_STEPS = {
    "create_schema", "import_csv", "create_indexes", "dedup", "import_tracks",
    "create_track_indexes", "prune", "vacuum", "set_logged",
};
// The steps a version-1 file knows.
inline constexpr std::array<std::string_view, 6> V1_STEPS = {
    "create_schema", "import_csv", "create_indexes", "dedup", "prune", "vacuum",
};
// The steps a version-2 file knows: all but "set_logged".
inline constexpr std::array<std::string_view, 8> V2_STEPS = {
    "create_schema", "import_csv", "create_indexes", "dedup", "import_tracks",
    "create_track_indexes", "prune", "vacuum",
};

// Deeper JSON than this is refused while loading; a state file nests three
// levels, and the limit keeps hostile files from exhausting the stack.
inline constexpr std::size_t kMaxJsonDepth = 128;

class PipelineState {
public:
    using Steps = std::map<std::string, StepStatus, std::less<>>;

    // The current version with every listed step pending; a repeated name
    // gives one entry.
    PipelineState(std::string_view database_url, std::string_view csv_dir,
                  std::span<const std::string_view> steps);

    // Reads, parses, validates and migrates a state file.
    static Result<PipelineState> load(const std::string& path);
    // Parses, validates and migrates the text of a state file.
    static Result<PipelineState> from_json(std::string_view text);
    // Writes the state file atomically (temporary file, fsync, rename).
    Status save(const std::string& path) const;
    // The written form of the file, ending in one LF. Fails only on text that
    // is not UTF-8 (which the Python layer never passes).
    Result<std::string> to_json() const;

    // Overlays the completed and failed statuses found in a JSON "steps" value
    // for the given names; anything else found leaves the step as it is.
    void copy_steps(const nlohmann::json& steps, std::span<const std::string_view> names);

    bool is_completed(std::string_view step) const;
    void mark_completed(std::string_view step);
    void mark_failed(std::string_view step, std::string_view error);
    // "pending", "completed", "failed", or "unknown" for a step not held.
    std::string_view step_status(std::string_view step) const;
    // The error text of a failed step that has one.
    std::optional<std::string_view> step_error(std::string_view step) const;
    // Fails with the first setting that differs from the state's own.
    Status validate_resume(std::string_view database_url, std::string_view csv_dir) const;

    std::uint32_t version() const noexcept { return version_; }
    const std::string& database_url() const noexcept { return database_url_; }
    const std::string& csv_dir() const noexcept { return csv_dir_; }
    // Ordered by name, which also fixes the order of a saved file.
    const Steps& steps() const noexcept { return steps_; }

    bool operator==(const PipelineState&) const = default;

private:
    void set(std::string_view step, StepStatus status);

    std::uint32_t version_ = CURRENT_STATE_VERSION;
    std::string database_url_;
    std::string csv_dir_;
    Steps steps_;
};

}  // namespace zemo::state
