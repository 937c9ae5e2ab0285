// Submodule `schema`: table names, column lists and DDL (constants only).

#include "schema/schema.hpp"
#include "submodules.hpp"

namespace zemo::py {
namespace {

template <std::size_t N>
PyObject* names(const std::array<std::string_view, N>& values) {
    return list(values, [](std::string_view s) { return str(s); });
}

const Function kSchemaFunctions[] = {
    {"discogs_tables", {}, "List of all discogs-cache table names.",
     [](Call&) { return names(schema::kDiscogsTables); }, Receiver::None, true},
    {"discogs_release_columns", {}, "Release table column names.",
     [](Call&) { return names(schema::kDiscogsReleaseColumns); }, Receiver::None, true},
    {"library_ddl", {}, "Library.db DDL.", [](Call&) { return str(schema::kLibraryDdl); }, Receiver::None, true},
    {"library_columns", {}, "Library table column names.",
     [](Call&) { return names(schema::kLibraryColumns); }, Receiver::None, true},
    {"entity_identity_ddl", {}, "Entity identity DDL.",
     [](Call&) { return str(schema::kEntityIdentityDdl); }, Receiver::None, true},
    {"entity_identity_columns", {}, "Entity identity column names.",
     [](Call&) { return names(schema::kEntityIdentityColumns); }, Receiver::None, true},
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
