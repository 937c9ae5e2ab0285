// Submodule `text`: the text forms, compilation test and artist splitting.
#include "submodules.hpp"
#include "text/batch.hpp"
#include "text/compilation.hpp"
#include "text/forms.hpp"
#include "text/identity.hpp"
#include "text/split.hpp"

namespace zemo::py {
namespace {

// A single form: None reads as "" and never reaches the library.
template <auto Form>
PyObject* single_form(Call& c) {
    if (c.is_none(0)) return str("");
    return str(Form(c.text(0)));
}

// The same for forms that append to a buffer: the call reuses one scratch
// buffer per thread instead of allocating a result string.
template <auto AppendForm>
PyObject* appended_form(Call& c) {
    if (c.is_none(0)) return str("");
    thread_local std::string scratch;
    scratch.clear();
    AppendForm(c.text(0), scratch);
    PyObject* result = str(scratch);
    if (scratch.capacity() > 4096) std::string().swap(scratch);  // keep no large buffer alive
    return result;
}

template <auto Batch>
PyObject* batch_form(Call& c) {
    // Every element is extracted before anything is computed.
    const text::TextColumn column = Batch(c.text_list(0));
    Ref out(check(PyList_New(static_cast<Py_ssize_t>(column.size()))));
    const char* bytes = column.bytes.data();  // once: the string's accessors test for a short string
    for_each_block_polled(column.size(), [&](std::size_t begin, std::size_t end) {
        std::size_t from = begin == 0 ? 0 : column.ends[begin - 1];
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t to = column.ends[i];
            PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), str({bytes + from, to - from}));  // steals the new str
            from = to;
        }
        return column.ends[end - 1] - (begin == 0 ? 0 : column.ends[begin - 1]) + 64 * (end - begin);
    });
    return out.release();
}

PyObject* split_result(const std::optional<std::vector<std::string>>& parts) {
    return parts ? str_list(*parts) : none();
}

PyObject* is_compilation_artist_impl(Call& c) { return boolean(text::is_compilation_artist(c.text(0))); }

PyObject* split_artist_name_impl(Call& c) { return split_result(text::split_artist_name(c.text(0))); }

PyObject* split_artist_name_contextual_impl(Call& c) {
    const auto& names = c.text_list(1);
    const text::KnownArtists known(names.begin(), names.end());
    return split_result(text::split_artist_name_contextual(c.text(0), known));
}

#define ZEMO_NONE_NOTE                                                                 \
    "\n\nAccepts None (returns \"\") so Python callers don't need to guard NULL values\n" \
    "from DB columns or optional API fields."

constexpr Function kTextFunctions[] = {
    {.name = "is_compilation_artist",
     .params = {{.name = "name", .kind = Kind::Text}},
     .doc = "Check if an artist name indicates a compilation/soundtrack album.",
     .impl = &is_compilation_artist_impl},
    {.name = "split_artist_name",
     .params = {{.name = "name", .kind = Kind::Text}},
     .doc = "Split a combined artist name into individual components (context-free).\n"
            "\n"
            "Returns None if the name doesn't appear to be a multi-artist entry.",
     .impl = &split_artist_name_impl},
    {.name = "split_artist_name_contextual",
     .params = {{.name = "name", .kind = Kind::Text}, {.name = "known_artists", .kind = Kind::TextSet}},
     .doc = "Context-aware artist name splitting.\n"
            "\n"
            "Tries context-free splits first, then ampersand splits when at least one\n"
            "component exists in `known_artists` (should contain normalized names).",
     .impl = &split_artist_name_contextual_impl},
    {.name = "to_storage_form",
     .params = {{.name = "s", .kind = Kind::OptTextEmpty}},
     .doc = "ZM-2 storage form: mojibake fix + NFC + trim." ZEMO_NONE_NOTE,
     .impl = &appended_form<&text::append_storage_form>},
    {.name = "to_match_form",
     .params = {{.name = "s", .kind = Kind::OptTextEmpty}},
     .doc = "ZM-2 match form: NFKC + lowercase + selective combining-strip + folds + Cf-strip." ZEMO_NONE_NOTE,
     .impl = &appended_form<&text::append_match_form>},
    {.name = "to_ascii_form",
     .params = {{.name = "s", .kind = Kind::OptTextEmpty}},
     .doc = "ZM-2 ASCII form: match form + emoji-strip + \xD0\x81 override + deunicode + ASCII-only." ZEMO_NONE_NOTE,
     .impl = &appended_form<&text::append_ascii_form>},
    {.name = "to_identity_match_form",
     .params = {{.name = "s", .kind = Kind::OptTextEmpty}},
     .doc = "Cross-cache-identity match form: `to_match_form` + trailing-paren strip\n"
            "+ leading-article drop (incl. Discogs `Beatles, The` comma form).\n"
            "\n"
            "Use this for resolving `library_id \xE2\x86\x94 discogs_master_id \xE2\x86\x94 MBID \xE2\x86\x94 Q-id`\n"
            "joins. Strictly more aggressive than `to_match_form`; do NOT use for\n"
            "FTS5 / prefix-lookup callers that need `(Live)` and articles preserved.\n"
            "\n"
            "Accepts None (returns \"\") so Python callers don't need to guard NULL.\n"
            "\n"
            "Spec: `docs/normalization.md` in the zemo-etl repo.",
     .impl = &single_form<&text::to_identity_match_form>},
    {.name = "to_identity_match_form_title",
     .params = {{.name = "s", .kind = Kind::OptTextEmpty}},
     .doc = "Title counterpart to `to_identity_match_form`. Use for cross-cache title\n"
            "identity matching; never strips trailing `/N` (titles use `Side A/2`-style\n"
            "disambiguators meaningfully).",
     .impl = &single_form<&text::to_identity_match_form_title>},
    {.name = "strip_leading_article",
     .params = {{.name = "s", .kind = Kind::OptTextEmpty}},
     .doc = "Strip a leading article (`the`, `a`, `an`) from a lowercased + trimmed\n"
            "string. Returns the input unchanged when there is no leading article.\n"
            "\n"
            "The article must be followed by whitespace OR end-of-string, byte-for-byte\n"
            "matching CPython's `^(the|a|an)(\\s+|$)` regex (`\\s` = Unicode `White_Space`\n"
            "\xE2\x88\xAA ASCII info separators U+001C..=U+001F). Bare-article inputs reduce to\n"
            "`\"\"` (`strip_leading_article(\"the\") == \"\"`); inputs without a word\n"
            "boundary after a candidate article are preserved verbatim\n"
            "(`strip_leading_article(\"theater\") == \"theater\"`).\n"
            "\n"
            "Accepts None (returns \"\") so Python callers don't need to guard NULL.",
     .impl = &single_form<&text::strip_leading_article>},
    {.name = "to_identity_match_form_with_punctuation",
     .params = {{.name = "s", .kind = Kind::OptTextEmpty}},
     .doc = "`to_identity_match_form` + plan \xC2\xA7" "3.3.2 step 6: collapse runs of\n"
            "punctuation/symbol characters to a single ASCII space.\n"
            "\n"
            "Opt-in: ships locked-on only if the regression report (plan \xC2\xA7" "3.3.4) shows\n"
            "per-step shift \xE2\x89\xA4" "2%; otherwise stays opt-in.",
     .impl = &single_form<&text::to_identity_match_form_with_punctuation>},
    {.name = "to_identity_match_form_with_disambiguator_strip",
     .params = {{.name = "s", .kind = Kind::OptTextEmpty}},
     .doc = "`to_identity_match_form` + plan \xC2\xA7" "3.3.2 step 8: strip a trailing\n"
            "`\\s*/\\d+` Discogs artist-disambiguator suffix.\n"
            "\n"
            "**Artists only.** Titles use `to_identity_match_form_title`, which does\n"
            "not strip `/N` (track-side disambiguators like `Side A/2` are meaningful).",
     .impl = &single_form<&text::to_identity_match_form_with_disambiguator_strip>},
    {.name = "batch_to_storage_form",
     .params = {{.name = "inputs", .kind = Kind::TextList}},
     .doc = "Apply [`to_storage_form`] to each input in one cross-FFI call.",
     .impl = &batch_form<&text::batch_to_storage_form>},
    {.name = "batch_to_match_form",
     .params = {{.name = "inputs", .kind = Kind::TextList}},
     .doc = "Apply [`to_match_form`] to each input in one cross-FFI call.",
     .impl = &batch_form<&text::batch_to_match_form>},
    {.name = "batch_to_ascii_form",
     .params = {{.name = "inputs", .kind = Kind::TextList}},
     .doc = "Apply [`to_ascii_form`] to each input in one cross-FFI call.",
     .impl = &batch_form<&text::batch_to_ascii_form>},
};

#undef ZEMO_NONE_NOTE

}  // namespace

void register_text(PyObject* module) { add_functions<kTextFunctions>(module); }

}  // namespace zemo::py
