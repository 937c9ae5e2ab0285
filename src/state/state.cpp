#include "state/state.hpp"

#include <nlohmann/json.hpp>

#include <vector>

#include "state/json_writer.hpp"
#include "state/quoted.hpp"
#include "state/state_file.hpp"

namespace zemo::state {

using nlohmann::json;

namespace {

// The member `name` of `value`, or nothing when `value` is not an object or
// lacks it.
const json* member(const json& value, std::string_view name) {
    if (!value.is_object()) return nullptr;
    auto it = value.find(name);
    return it == value.end() ? nullptr : &*it;
}

const std::string* string_member(const json& value, std::string_view name) {
    const json* m = member(value, name);
    return m != nullptr && m->is_string() ? m->get_ptr<const std::string*>() : nullptr;
}

// Whether `steps` holds `name` with the status string "completed".
bool completed_in_file(const json& steps, std::string_view name) {
    const json* step = member(steps, name);
    const std::string* status = step != nullptr ? string_member(*step, "status") : nullptr;
    return status != nullptr && *status == "completed";
}

// Refuses nesting beyond kMaxJsonDepth before the parser builds a tree. The
// scan only has to be right for valid JSON: on anything else the parser
// fails on its own.
bool nesting_within_limit(std::string_view text) {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

Result<json> parse_json(std::string_view text) {
    // The parser would skip a byte order mark silently; a state file is
    // plain UTF-8 JSON and never starts with one.
    if (text.starts_with("\xEF\xBB\xBF")) return Error("unexpected byte order mark");
    if (!nesting_within_limit(text)) {
        return Error("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    try {
        return json::parse(text.begin(), text.end());
    } catch (const json::exception& e) {
        return Error(e.what());
    }
}

// The low 32 bits of a non-negative integer "version"; nothing for any other
// value (negative, written with a fraction or exponent, too large for 64
// bits, not a number, or a document that is not an object).
std::optional<std::uint32_t> read_version(const json& root) {
    const json* version = member(root, "version");
    if (version == nullptr || !version->is_number_unsigned()) return std::nullopt;
    return static_cast<std::uint32_t>(version->get<std::uint64_t>());
}

void migrate_v1(PipelineState& state, const json& steps) {
    if (completed_in_file(steps, "import_csv")) state.mark_completed("import_tracks");
    if (completed_in_file(steps, "dedup") || completed_in_file(steps, "create_indexes")) {
        state.mark_completed("create_track_indexes");
    }
    if (completed_in_file(steps, "vacuum")) state.mark_completed("set_logged");
}

void migrate_v2(PipelineState& state, const json& steps) {
    if (completed_in_file(steps, "vacuum")) state.mark_completed("set_logged");
}

}  // namespace

std::string_view status_name(const StepStatus& status) noexcept {
    switch (status.index()) {
        case 0: return "pending";
        case 1: return "completed";
        default: return "failed";
    }
}

PipelineState::PipelineState(std::string_view database_url, std::string_view csv_dir,
                             std::span<const std::string_view> steps)
    : database_url_(database_url), csv_dir_(csv_dir) {
    for (std::string_view step : steps) steps_.try_emplace(std::string(step), Pending{});
}

Result<PipelineState> PipelineState::load(const std::string& path) {
    Result<std::string> text = read_utf8_file(path);
    if (!text) return std::move(text).error().context("reading " + path);
    return from_json(text.value());
}

Result<PipelineState> PipelineState::from_json(std::string_view text) {
    Result<json> parsed = parse_json(text);
    if (!parsed) return std::move(parsed).error().context("parsing state JSON");
    const json& root = parsed.value();

    std::optional<std::uint32_t> version = read_version(root);
    if (!version) return Error("Missing version field in state file");
    if (*version < 1 || *version > CURRENT_STATE_VERSION) {
        return Error("Unsupported state file version " + std::to_string(*version) + " (expected " +
                     std::to_string(CURRENT_STATE_VERSION) + ")");
    }
    const std::string* database_url = string_member(root, "database_url");
    if (database_url == nullptr) return Error("missing database_url");
    const std::string* csv_dir = string_member(root, "csv_dir");
    if (csv_dir == nullptr) return Error("missing csv_dir");
    const json* steps = member(root, "steps");
    if (steps == nullptr) return Error("missing steps");

    switch (*version) {
        case 1: {
            PipelineState state(*database_url, *csv_dir, PIPELINE_STEPS);
            state.copy_steps(*steps, V1_STEPS);
            migrate_v1(state, *steps);
            return state;
        }
        case 2: {
            PipelineState state(*database_url, *csv_dir, PIPELINE_STEPS);
            state.copy_steps(*steps, V2_STEPS);
            migrate_v2(state, *steps);
            return state;
        }
        default: {
            if (!steps->is_object()) return Error("steps must be an object");
            // The file's own step set, whatever the names.
            std::vector<std::string_view> names;
            names.reserve(steps->size());
            for (const auto& item : steps->items()) names.emplace_back(item.key());
            PipelineState state(*database_url, *csv_dir, names);
            state.copy_steps(*steps, names);
            return state;
        }
    }
}

Result<std::string> PipelineState::to_json() const { return write_state_json(*this); }

Status PipelineState::save(const std::string& path) const {
    Result<std::string> text = to_json();
    if (!text) return std::move(text).error().context("serializing pipeline state");
    return replace_file(path, text.value());
}

void PipelineState::copy_steps(const json& steps, std::span<const std::string_view> names) {
    for (std::string_view name : names) {
        const json* step = member(steps, name);
        const std::string* status = step != nullptr ? string_member(*step, "status") : nullptr;
        if (status == nullptr) continue;
        if (*status == "completed") {
            set(name, Completed{});
        } else if (*status == "failed") {
            const std::string* error = string_member(*step, "error");
            set(name, Failed{error != nullptr ? std::optional<std::string>(*error) : std::nullopt});
        }
    }
}

bool PipelineState::is_completed(std::string_view step) const {
    auto it = steps_.find(step);
    return it != steps_.end() && std::holds_alternative<Completed>(it->second);
}

void PipelineState::mark_completed(std::string_view step) { set(step, Completed{}); }

void PipelineState::mark_failed(std::string_view step, std::string_view error) {
    set(step, Failed{std::string(error)});
}

std::string_view PipelineState::step_status(std::string_view step) const {
    auto it = steps_.find(step);
    return it == steps_.end() ? std::string_view("unknown") : status_name(it->second);
}

std::optional<std::string_view> PipelineState::step_error(std::string_view step) const {
    auto it = steps_.find(step);
    if (it == steps_.end()) return std::nullopt;
    const auto* failed = std::get_if<Failed>(&it->second);
    if (failed == nullptr || !failed->error) return std::nullopt;
    return std::string_view(*failed->error);
}

Status PipelineState::validate_resume(std::string_view database_url, std::string_view csv_dir) const {
    if (database_url_ != database_url) {
        return Error("database_url mismatch: state has " + quoted_literal(database_url_) + ", got " +
                     quoted_literal(database_url));
    }
    if (csv_dir_ != csv_dir) {
        return Error("csv_dir mismatch: state has " + quoted_literal(csv_dir_) + ", got " +
                     quoted_literal(csv_dir));
    }
    return ok_status();
}

void PipelineState::set(std::string_view step, StepStatus status) {
    if (auto it = steps_.find(step); it != steps_.end()) {
        it->second = std::move(status);
    } else {
        steps_.emplace(std::string(step), std::move(status));
    }
}

}  // namespace zemo::state
