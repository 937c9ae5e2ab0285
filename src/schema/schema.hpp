#pragma once
// Table names, column lists and DDL of the library database, the Discogs
// cache and the entity-identity table. Constants only.

#include <array>
#include <string_view>

namespace zemo::schema {

inline constexpr std::string_view kReleaseTable = "release";
inline constexpr std::string_view kReleaseArtistTable = "release_artist";
inline constexpr std::string_view kReleaseLabelTable = "release_label";
inline constexpr std::string_view kReleaseGenreTable = "release_genre";
inline constexpr std::string_view kReleaseStyleTable = "release_style";
inline constexpr std::string_view kReleaseTrackTable = "release_track";
inline constexpr std::string_view kReleaseTrackArtistTable = "release_track_artist";
inline constexpr std::string_view kArtistTable = "artist";
inline constexpr std::string_view kArtistAliasTable = "artist_alias";
inline constexpr std::string_view kCacheMetadataTable = "cache_metadata";
inline constexpr std::string_view kLibraryTable = "library";
inline constexpr std::string_view kEntityIdentityTable = "entity.identity";
inline constexpr std::string_view kReconciliationLogTable = "entity.reconciliation_log";

inline constexpr std::array<std::string_view, 13> kDiscogsTables = {
    kReleaseTable,     kReleaseArtistTable, kReleaseLabelTable,      kReleaseGenreTable,
    kReleaseStyleTable, kReleaseTrackTable, kReleaseTrackArtistTable, kArtistTable,
    kArtistAliasTable, "artist_name_variation", "artist_member",      "artist_url",
    kCacheMetadataTable,
};

inline constexpr std::array<std::string_view, 9> kLibraryColumns = {
    "id", "title", "artist", "call_letters", "artist_call_number", "release_call_number", "genre", "format",
    "alternate_artist_name",
};

inline constexpr std::array<std::string_view, 8> kDiscogsReleaseColumns = {
    "id", "title", "release_year", "country", "artwork_url", "released", "format", "master_id",
};

inline constexpr std::array<std::string_view, 11> kEntityIdentityColumns = {
    "id",
    "library_name",
    "discogs_artist_id",
    "wikidata_qid",
    "musicbrainz_artist_id",
    "spotify_artist_id",
    "apple_music_artist_id",
    "bandcamp_id",
    "reconciliation_status",
    "created_at",
    "updated_at",
};

inline constexpr std::string_view kLibraryDdl =
    "CREATE TABLE library (\n"
    "    id INTEGER PRIMARY KEY,\n"
    "    title TEXT,\n"
    "    artist TEXT,\n"
    "    call_letters TEXT,\n"
    "    artist_call_number INTEGER,\n"
    "    release_call_number INTEGER,\n"
    "    genre TEXT,\n"
    "    format TEXT,\n"
    "    alternate_artist_name TEXT\n"
    ")";

inline constexpr std::string_view kEntityIdentityDdl =
    "CREATE SCHEMA IF NOT EXISTS entity;\n"
    "\n"
    "CREATE TABLE entity.identity (\n"
    "    id SERIAL PRIMARY KEY,\n"
    "    library_name TEXT NOT NULL UNIQUE,\n"
    "    discogs_artist_id INTEGER,\n"
    "    wikidata_qid TEXT,\n"
    "    musicbrainz_artist_id TEXT,\n"
    "    spotify_artist_id TEXT,\n"
    "    apple_music_artist_id TEXT,\n"
    "    bandcamp_id TEXT,\n"
    "    reconciliation_status TEXT NOT NULL DEFAULT 'unreconciled',\n"
    "    created_at TIMESTAMPTZ NOT NULL DEFAULT now(),\n"
    "    updated_at TIMESTAMPTZ NOT NULL DEFAULT now()\n"
    ")";

static_assert(kLibraryDdl.size() == 237);
static_assert(kEntityIdentityDdl.size() == 468);

}  // namespace zemo::schema
