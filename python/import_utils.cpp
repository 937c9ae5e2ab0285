// Submodule `import_utils`: the DedupSet class.

#include "import_utils/dedup_set.hpp"
#include "submodules.hpp"

namespace zemo::py {
namespace {

using import_utils::DedupSet;

// None elements read as "".
std::vector<std::string_view> key_of(const Call& c) {
    const auto& elements = c.opt_text_list(0);
    std::vector<std::string_view> key;
    key.reserve(elements.size());
    for (const auto& e : elements) key.push_back(e.value_or(std::string_view{}));
    return key;
}

const Function kConstructor = {
    "__new__", {}, "", [](Call& c) {
        c.init_self(new DedupSet());
        return none();
    },
    Receiver::Construct};

const Function kMethods[] = {
    {"add", {{{"key", Kind::OptTextList}}},
     "Add a key tuple. Returns True if the key was new (not a duplicate).",
     [](Call& c) { return boolean(c.self<DedupSet>().add(key_of(c))); }, Receiver::Exclusive},
};

const Function kContains = {"__contains__", {{{"key", Kind::OptTextList}}}, "",
                            [](Call& c) { return boolean(c.self<DedupSet>().contains(key_of(c))); },
                            Receiver::Shared};

const Function kLength = {"__len__", {}, "",
                          [](Call& c) { return integer(static_cast<long long>(c.self<DedupSet>().size())); },
                          Receiver::Shared};

ClassInfo kDedupSetClass = {
    "DedupSet",
    "Tracks seen rows by unique key tuple during CSV import.\n"
    "\n"
    "Accepts tuple[str | None, ...] keys via add() and __contains__().\n"
    "None values are converted to \"\" for dedup purposes.",
    &kConstructor,
    kMethods,
    std::size(kMethods),
    &kContains,
    &kLength,
};

}  // namespace

void register_import_utils(PyObject* module) { add_class<kDedupSetClass, std::size(kMethods)>(module); }

}  // namespace zemo::py
