// Submodule `schema`: table names, column lists and DDL (constants only).

#include "schema/schema.hpp"
#include "submodules.hpp"

namespace zemo::py {
namespace {

template <std::size_t N>
PyObject* names(const std::array<std::string_view, N>& values) {
    return list(values, [](std::string_view s) { return str(s); });
}

constexpr Function kSchemaFunctions[] = {
    {.name = "discogs_tables",
     .doc = "List of all discogs-cache table names.",
     .impl = [](Call&) { return names(schema::kDiscogsTables); },
     .no_args = true},
    {.name = "discogs_release_columns",
     .doc = "Release table column names.",
     .impl = [](Call&) { return names(schema::kDiscogsReleaseColumns); },
     .no_args = true},
    {.name = "library_ddl",
     .doc = "Library.db DDL.",
     .impl = [](Call&) { return str(schema::kLibraryDdl); },
     .no_args = true},
    {.name = "library_columns",
     .doc = "Library table column names.",
     .impl = [](Call&) { return names(schema::kLibraryColumns); },
     .no_args = true},
    {.name = "entity_identity_ddl",
     .doc = "Entity identity DDL.",
     .impl = [](Call&) { return str(schema::kEntityIdentityDdl); },
     .no_args = true},
    {.name = "entity_identity_columns",
     .doc = "Entity identity column names.",
     .impl = [](Call&) { return names(schema::kEntityIdentityColumns); },
     .no_args = true},
};

const std::pair<const char*, std::string_view> kSchemaConstants[] = {
    {"RELEASE_TABLE", schema::kReleaseTable},
    {"RELEASE_ARTIST_TABLE", schema::kReleaseArtistTable},
    {"RELEASE_LABEL_TABLE", schema::kReleaseLabelTable},
    {"RELEASE_GENRE_TABLE", schema::kReleaseGenreTable},
    {"RELEASE_STYLE_TABLE", schema::kReleaseStyleTable},
    {"RELEASE_TRACK_TABLE", schema::kReleaseTrackTable},
    {"RELEASE_TRACK_ARTIST_TABLE", schema::kReleaseTrackArtistTable},
    {"ARTIST_TABLE", schema::kArtistTable},
    {"ARTIST_ALIAS_TABLE", schema::kArtistAliasTable},
    {"CACHE_METADATA_TABLE", schema::kCacheMetadataTable},
    {"LIBRARY_TABLE", schema::kLibraryTable},
    {"ENTITY_IDENTITY_TABLE", schema::kEntityIdentityTable},
    {"RECONCILIATION_LOG_TABLE", schema::kReconciliationLogTable},
};

}  // namespace

void register_schema(PyObject* module) {
    add_functions<kSchemaFunctions>(module);
    for (const auto& [name, value] : kSchemaConstants) add_member(module, name, str(value));
}

}  // namespace zemo::py
