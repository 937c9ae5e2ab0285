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

constexpr Function kConstructor = {
    .name = "__new__",
    .impl = [](Call& c) {
        c.init_self(new DedupSet());
        return none();
    },
    .receiver = Receiver::Construct,
};

constexpr Param kKey = {.name = "key", .kind = Kind::OptTextList};

constexpr Function kMethods[] = {
    {.name = "add",
     .params = {kKey},
     .doc = "Add a key tuple. Returns True if the key was new (not a duplicate).",
     .impl = [](Call& c) { return boolean(c.self<DedupSet>().add(key_of(c))); },
     .receiver = Receiver::Exclusive},
};

constexpr Function kContains = {
    .name = "__contains__",
    .params = {kKey},
    .impl = [](Call& c) { return boolean(c.self<DedupSet>().contains(key_of(c))); },
    .receiver = Receiver::Shared,
};

constexpr Function kLength = {
    .name = "__len__",
    .impl = [](Call& c) { return integer(static_cast<long long>(c.self<DedupSet>().size())); },
    .receiver = Receiver::Shared,
};

constexpr ClassInfo kDedupSetClass = {
    .name = "DedupSet",
    .doc = "Tracks seen rows by unique key tuple during CSV import.\n"
           "\n"
           "Accepts tuple[str | None, ...] keys via add() and __contains__().\n"
           "None values are converted to \"\" for dedup purposes.",
    .constructor = &kConstructor,
    .methods = kMethods,
    .contains = &kContains,
    .length = &kLength,
};

}  // namespace

void register_import_utils(PyObject* module) { add_class<kDedupSetClass>(module); }

}  // namespace zemo::py
