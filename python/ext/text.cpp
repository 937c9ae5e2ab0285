// The text forms over a whole column, by the names `zemo_etl.columns.FORMS`
// gives them, computed without the interpreter lock so that threads of a
// data-frame job (Dask's threaded scheduler) run in parallel.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/interrupt.hpp"
#include "common/utf8.hpp"
#include "members.hpp"
#include "pg/text.hpp"
#include "text/batch.hpp"
#include "text/forms.hpp"
#include "text/identity.hpp"

namespace zemo::py::ext {
namespace {

using AppendForm = void (*)(std::string_view, std::string&);

template <std::string (*Form)(std::string_view)>
void append_whole(std::string_view s, std::string& out) {
    out += Form(s);
}

void append_pg(std::string_view s, std::string& out) {
    thread_local std::string scratch;
    out += pg::to_pg_text_form(s, scratch);
}

struct NamedForm {
    std::string_view name;
    AppendForm append;
};

constexpr NamedForm kForms[] = {
    {"storage", &text::append_storage_form},
    {"match", &text::append_match_form},
    {"ascii", &text::append_ascii_form},
    {"identity", &append_whole<&text::to_identity_match_form>},
    {"identity-title", &append_whole<&text::to_identity_match_form_title>},
    {"identity-punctuation", &append_whole<&text::to_identity_match_form_with_punctuation>},
    {"identity-disambiguator", &append_whole<&text::to_identity_match_form_with_disambiguator_strip>},
    {"pg", &append_pg},
};

// Element i of the result is the form of element i, null where the input is.
text::TextColumn map_column(AppendForm form, const std::vector<std::optional<std::string_view>>& values) {
    text::TextColumn out;
    out.ends.reserve(values.size());
    std::size_t total = 0;
    for (const auto& v : values) total += v ? v->size() : 0;
    out.bytes.reserve(total + total / 8);
    for_each_block_polled(values.size(), [&](std::size_t begin, std::size_t end) {
        const std::size_t before = out.bytes.size();
        for (std::size_t i = begin; i < end; ++i) {
            if (values[i]) form(*values[i], out.bytes);
            out.ends.push_back(out.bytes.size());
        }
        return 4 * (out.bytes.size() - before) + 64 * (end - begin);
    });
    return out;
}

const NamedForm& form_named(std::string_view name) {
    for (const NamedForm& f : kForms) {
        if (f.name == name) return f;
    }
    std::string known;
    for (const NamedForm& f : kForms) known += (known.empty() ? "" : ", ") + std::string(f.name);
    raise(PyExc_ValueError, "unknown form '" + std::string(name) + "'; one of: " + known);
}

PyObject* batch_text_form(Call& c) {
    const NamedForm* form = &form_named(c.text(0));
    const OwnedOptTexts values = copy_texts(c.opt_text_list(1));
    const text::TextColumn column = without_lock([&] { return map_column(form->append, values.views); });
    Ref out(check(PyList_New(static_cast<Py_ssize_t>(column.size()))));
    for_each_block_polled(column.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            PyObject* item = values.views[i] ? str(column[i]) : none();
            PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), item);  // steals
        }
        return column.ends[end - 1] - (begin == 0 ? 0 : column.ends[begin - 1]) + 64 * (end - begin);
    });
    return out.release();
}

// A column in Arrow's layout: `count` + 1 offsets of `width` bytes (4 or 8)
// into `data`. The strings, or the reason they are not a column of text.
Result<std::vector<std::string_view>> unpack_column(std::string_view offsets, std::string_view data,
                                                    std::uint64_t width) {
    if (width != 4 && width != 8) return Error("offset_width must be 4 or 8");
    if (offsets.size() % width != 0 || offsets.size() < width) return Error("offsets must hold at least one offset");
    const std::size_t count = offsets.size() / width - 1;
    auto offset = [&](std::size_t i) -> std::int64_t {
        if (width == 4) {
            std::int32_t v;
            std::memcpy(&v, offsets.data() + 4 * i, 4);
            return v;
        }
        std::int64_t v;
        std::memcpy(&v, offsets.data() + 8 * i, 8);
        return v;
    };
    std::vector<std::string_view> out;
    out.reserve(count);
    std::int64_t begin = offset(0);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t end = offset(i + 1);
        if (begin < 0 || end < begin || static_cast<std::uint64_t>(end) > data.size()) {
            return Error("offsets must ascend within the data");
        }
        out.push_back(data.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
        if (!utf8::is_valid(out.back())) return Error("value " + std::to_string(i) + " is not valid UTF-8");
        begin = end;
    }
    return out;
}

PyObject* batch_text_form_buffers(Call& c) {
    const NamedForm& form = form_named(c.text(0));
    const OwnedTexts buffers = copy_texts(std::vector<std::string_view>{c.text(1), c.text(2)});
    const std::uint64_t width = c.count(3);
    std::string ends;
    auto column = without_lock([&]() -> Result<text::TextColumn> {
        auto values = unpack_column(buffers.views[0], buffers.views[1], width);
        if (!values) return std::move(values).error();
        std::vector<std::optional<std::string_view>> all(values.value().begin(), values.value().end());
        text::TextColumn out = map_column(form.append, all);
        ends.resize(8 * (out.size() + 1));
        const std::int64_t zero = 0;
        std::memcpy(ends.data(), &zero, 8);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const auto end = static_cast<std::int64_t>(out.ends[i]);
            std::memcpy(ends.data() + 8 * (i + 1), &end, 8);
        }
        return out;
    });
    if (!column) raise(PyExc_ValueError, column.error().message());
    Ref out_offsets(bytes(ends));
    Ref out_data(bytes(column.value().bytes));
    return check(PyTuple_Pack(2, out_offsets.get(), out_data.get()));
}

constexpr Function kFunctions[] = {
    {.name = "batch_text_form",
     .params = {{.name = "form", .kind = Kind::Text}, {.name = "values", .kind = Kind::OptTextList}},
     .doc = "The text form named `form` (\"storage\", \"match\", \"ascii\", \"identity\", \"identity-title\",\n"
            "\"identity-punctuation\", \"identity-disambiguator\" or \"pg\") of each value, None for None:\n"
            "element by element what the text and pg functions of that form give. Computed without\n"
            "the interpreter lock, so that other threads run meanwhile.",
     .impl = &batch_text_form},
    {.name = "batch_text_form_buffers",
     .params = {{.name = "form", .kind = Kind::Text},
                {.name = "offsets", .kind = Kind::Bytes},
                {.name = "data", .kind = Kind::Bytes},
                {.name = "offset_width", .kind = Kind::Unsigned}},
     .doc = "batch_text_form over a column of strings in Arrow's layout, without a str per value:\n"
            "n + 1 offsets of offset_width bytes (4 or 8, native order) into the UTF-8 `data`.\n"
            "Returns (offsets, data) of the n forms, with 8-byte offsets starting at 0.\n"
            "ValueError for offsets that do not ascend within the data, or invalid UTF-8.",
     .impl = &batch_text_form_buffers},
};

}  // namespace

void register_text(PyObject* module) {
    add_functions<kFunctions>(module);
    // The forms' names, listed here alone: zemo_etl.columns.FORMS is made of them.
    Ref names(list(kForms, [](const NamedForm& f) { return str(f.name); }));
    add_member(module, "TEXT_FORMS", check(PyList_AsTuple(names.get())));
}

}  // namespace zemo::py::ext
