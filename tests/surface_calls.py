"""One call of every exported function (and class method) with valid arguments,
and calls on their error paths, for the thread and leak tests."""

from __future__ import annotations

import pathlib

from zemo_etl import _ext, fuzzy, import_utils, parser, pg, state, text
from zemo_etl.index import Catalogue, LibraryIndex

NAMES = ["The Beatles", "Beatles, The", "Simon & Garfunkel", "Björk", "AC/DC", "Various Artists", "Sigur Rós (2)",
         " ＡＢＢＡ ", "Motörhead /2", "Crosby, Stills & Nash"]
TITLES = ["Abbey Road", "Homogenic (Live)", "Back in Black", "Déjà Vu", "Side A/2"]
LIBRARY = [(NAMES[i], TITLES[i % len(TITLES)]) for i in range(len(NAMES))]
DUMP_TEXT = ("CREATE TABLE `t` (\n  `id` int,\n  `name` text\n);\n"
             "INSERT INTO `t` VALUES (1,'a\\'b',2.5),(2,NULL,99999999999999999999);\n")


def valid_calls(tmp: pathlib.Path) -> dict[str, tuple]:
    dump = tmp / "dump.sql"
    dump.write_text(DUMP_TEXT)
    index = LibraryIndex(LIBRARY)
    calls = {}
    for name in text.__all__:
        fn = getattr(text, name)
        if name.startswith("batch_"):
            calls[f"text.{name}"] = (fn, NAMES)
        elif name == "split_artist_name_contextual":
            calls[f"text.{name}"] = (fn, "Simon & Garfunkel", {"simon", "garfunkel"})
        else:
            calls[f"text.{name}"] = (fn, NAMES[1])
    calls.update({
        "pg.to_pg_text_form": (pg.to_pg_text_form, "a\0b"),
        "pg.batch_to_pg_text_form": (pg.batch_to_pg_text_form, ["a\0b", "c"]),
        "fuzzy.jaro_winkler_similarity": (fuzzy.jaro_winkler_similarity, NAMES[0], NAMES[1]),
        "fuzzy.token_set_ratio": (fuzzy.token_set_ratio, NAMES[0], NAMES[1]),
        "fuzzy.token_sort_ratio": (fuzzy.token_sort_ratio, NAMES[0], NAMES[1]),
        "fuzzy.batch_fuzzy_resolve": (fuzzy.batch_fuzzy_resolve, NAMES, NAMES[::2], 0.8),
        "fuzzy.batch_filter_artists": (fuzzy.batch_filter_artists, NAMES, {"the beatles", "björk"}),
        "fuzzy.batch_classify_releases": (fuzzy.batch_classify_releases, NAMES, NAMES[::-1], LIBRARY),
        "parser.parse_sql_values": (parser.parse_sql_values, "(1,'a'),(2,NULL,3.5)"),
        "parser.load_table_rows": (parser.load_table_rows, str(dump), "t"),
        "parser.iter_table_rows": (parser.iter_table_rows, str(dump), "t"),
        "_ext.table_columns": (_ext.table_columns, str(dump), "t"),
        "_ext.table_column_types": (_ext.table_column_types, str(dump), "t"),
        "_ext.TableRowChunks": (lambda p: list(_ext.TableRowChunks(p, "t", chunk_rows=1)), str(dump)),
        "_ext.TableCopyChunks": (lambda p: list(_ext.TableCopyChunks(p, "t", chunk_rows=1)), str(dump)),
        "index.classify": (index.classify, NAMES, NAMES[::-1]),
        "catalogue.resolve": (Catalogue(NAMES[::2]).resolve, NAMES, 0.8),
        "_ext.batch_text_form": (_ext.batch_text_form, "ascii", NAMES + [None]),
        "index.bytes": (lambda: LibraryIndex.from_bytes(index.to_bytes()).classify(NAMES, TITLES * 2),),
        "import_utils.DedupSet": (lambda: [import_utils.DedupSet().add(k) for k in (("a",), ("a",), ("b", None))],),
        "state.PipelineState": (lambda: _state_round(tmp),),
    })
    return calls


def _state_round(tmp: pathlib.Path):
    s = state.PipelineState("db", "csv", ["a", "b"])
    s.mark_completed("a")
    s.mark_failed("b", "boom")
    return s.is_completed("a"), s.step_status("b"), s.step_error("b")


def error_calls(tmp: pathlib.Path) -> list[tuple]:
    """Calls that raise, each with the exception class they raise."""
    bad = tmp / "bad.json"
    bad.write_text("{")
    return [
        (TypeError, text.to_match_form, 5),
        (UnicodeEncodeError, text.to_match_form, "\ud800"),
        (TypeError, text.batch_to_match_form, ["a", None]),
        (TypeError, text.batch_to_match_form, "abc"),
        (TypeError, fuzzy.batch_filter_artists, ["a"], ["list"]),
        (ValueError, fuzzy.batch_classify_releases, ["a"], [], []),
        (ValueError, fuzzy.batch_classify_releases, ["a"], ["b"], [("a", "b", "c")]),
        (TypeError, fuzzy.batch_classify_releases, ["a"], ["b"], [["a", "b"]]),
        (OverflowError, fuzzy.batch_fuzzy_resolve, ["a"], ["b"], 0.5, -1),
        (RuntimeError, parser.load_table_rows, str(tmp / "missing.sql"), "t"),
        (RuntimeError, state.PipelineState.load, str(bad)),
        (RuntimeError, state.PipelineState.load, str(tmp / "missing.json")),
        (ValueError, LibraryIndex.from_bytes, b"not an index"),
        (ValueError, lambda: _ext.TableRowChunks(str(tmp / "x"), "t", chunk_rows=0)),
        (TypeError, import_utils.DedupSet().add, 5),
    ]
