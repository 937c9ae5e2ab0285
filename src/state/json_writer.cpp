#include "state/json_writer.hpp"

#include "common/utf8.hpp"
#include "state/state.hpp"
#include "state/state_file.hpp"

namespace zemo::state {

namespace detail {

void append_json_string(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t run = 0;  // start of the pending run of bytes copied as they are
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(s.substr(run, i - run));
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
        }
    }
    out.append(s.substr(run));
    out += '"';
}

}  // namespace detail

namespace {

Status check_utf8(std::string_view s, std::string_view what) {
    if (utf8::is_valid(s)) return ok_status();
    return Error("invalid UTF-8 in " + std::string(what));
}

}  // namespace

Result<std::string> write_state_json(const PipelineState& state) {
    if (Status s = check_utf8(state.database_url(), "database_url"); !s) return std::move(s).error();
    if (Status s = check_utf8(state.csv_dir(), "csv_dir"); !s) return std::move(s).error();

    std::size_t size = 128 + state.database_url().size() + state.csv_dir().size();
    for (const auto& [name, status] : state.steps()) {
        if (Status s = check_utf8(name, "step name"); !s) return std::move(s).error();
        size += 64 + name.size();
        if (const auto* failed = std::get_if<Failed>(&status); failed && failed->error) {
            if (Status s = check_utf8(*failed->error, "step error"); !s) return std::move(s).error();
            size += 32 + failed->error->size();
        }
    }

    std::string out;
    out.reserve(size);
    out += "{\n  \"version\": ";
    out += std::to_string(state.version());
    out += ",\n  \"database_url\": ";
    detail::append_json_string(out, state.database_url());
    out += ",\n  \"csv_dir\": ";
    detail::append_json_string(out, state.csv_dir());
    out += ",\n  \"steps\": ";
    if (state.steps().empty()) {
        out += "{}";
    } else {
        out += '{';
        bool first = true;
        for (const auto& [name, status] : state.steps()) {
            out += first ? "\n    " : ",\n    ";
            first = false;
            detail::append_json_string(out, name);
            out += ": {\n      \"status\": \"";
            out += status_name(status);
            out += '"';
            if (const auto* failed = std::get_if<Failed>(&status); failed && failed->error) {
                out += ",\n      \"error\": ";
                detail::append_json_string(out, *failed->error);
            }
            out += "\n    }";
        }
        out += "\n  }";
    }
    out += "\n}\n";
    return out;
}

}  // namespace zemo::state
