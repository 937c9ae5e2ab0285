__all__ = [
    "discogs_tables",
    "discogs_release_columns",
    "library_ddl",
    "library_columns",
    "entity_identity_ddl",
    "entity_identity_columns",
    "RELEASE_TABLE",
    "RELEASE_ARTIST_TABLE",
    "RELEASE_LABEL_TABLE",
    "RELEASE_GENRE_TABLE",
    "RELEASE_STYLE_TABLE",
    "RELEASE_TRACK_TABLE",
    "RELEASE_TRACK_ARTIST_TABLE",
    "ARTIST_TABLE",
    "ARTIST_ALIAS_TABLE",
    "CACHE_METADATA_TABLE",
    "LIBRARY_TABLE",
    "ENTITY_IDENTITY_TABLE",
    "RECONCILIATION_LOG_TABLE",
]

def discogs_tables() -> list[str]: ...
def discogs_release_columns() -> list[str]: ...
def library_ddl() -> str: ...
def library_columns() -> list[str]: ...
def entity_identity_ddl() -> str: ...
def entity_identity_columns() -> list[str]: ...

RELEASE_TABLE: str
RELEASE_ARTIST_TABLE: str
RELEASE_LABEL_TABLE: str
RELEASE_GENRE_TABLE: str
RELEASE_STYLE_TABLE: str
RELEASE_TRACK_TABLE: str
RELEASE_TRACK_ARTIST_TABLE: str
ARTIST_TABLE: str
ARTIST_ALIAS_TABLE: str
CACHE_METADATA_TABLE: str
LIBRARY_TABLE: str
ENTITY_IDENTITY_TABLE: str
RECONCILIATION_LOG_TABLE: str
