// The text forms over a whole column, by the names `zemo_etl.columns.FORMS`
// gives them, computed without the interpreter lock so that threads of a
// data-frame job (Dask's threaded scheduler) run in parallel.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/interrupt.hpp"
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

PyObject* batch_text_form(Call& c) {
    const NamedForm* form = nullptr;
    for (const NamedForm& f : kForms) {
        if (f.name == c.text(0)) form = &f;
    }
    if (form == nullptr) {
        std::string known;
        for (const NamedForm& f : kForms) known += (known.empty() ? "" : ", ") + std::string(f.name);
        raise(PyExc_ValueError, "unknown form '" + std::string(c.text(0)) + "'; one of: " + known);
    }
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

constexpr Function kFunctions[] = {
    {.name = "batch_text_form",
     .params = {{.name = "form", .kind = Kind::Text}, {.name = "values", .kind = Kind::OptTextList}},
     .doc = "The text form named `form` (\"storage\", \"match\", \"ascii\", \"identity\", \"identity-title\",\n"
            "\"identity-punctuation\", \"identity-disambiguator\" or \"pg\") of each value, None for None:\n"
            "element by element what the text and pg functions of that form give. Computed without\n"
            "the interpreter lock, so that other threads run meanwhile.",
     .impl = &batch_text_form},
};

}  // namespace

void register_text(PyObject* module) { add_functions<kFunctions>(module); }

}  // namespace zemo::py::ext
