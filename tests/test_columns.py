"""Columns of pandas, NumPy, pyarrow and polars through the batch functions and back."""

import math

import pytest

from zemo_etl import _ext, columns, fuzzy, pg, text

VALUES = ["  BjÃ¶rk ", None, "The Beatles", "Кино", ""]
MATCH = ["bjork", None, "the beatles", "кино", ""]


def test_plain_sequences_and_nulls():
    assert columns.apply(text.batch_to_match_form, VALUES) == MATCH
    assert columns.apply(text.batch_to_match_form, tuple(VALUES)) == MATCH
    assert columns.to_list([None, float("nan"), "x"]) == [None, None, "x"]
    with pytest.raises(TypeError, match="^expected a str or null, got int at position 1$"):
        columns.to_list(["a", 5])
    with pytest.raises(TypeError, match="expected a column"):
        columns.to_list("abc")
    with pytest.raises(ValueError, match="same length"):
        columns.apply(fuzzy.batch_classify_releases, ["a"], ["b", "c"], library_pairs=[])
    # A function that takes None itself still never sees the null rows.
    assert columns.apply(pg.batch_to_pg_text_form, ["a\x00b", None]) == ["ab", None]


def test_several_columns_and_keyword_arguments():
    pairs = [("Radiohead", "Kid A"), ("The Beatles", "Abbey Road")]
    out = columns.apply(fuzzy.batch_classify_releases, ["Radiohead", None, "Lunar Mice"],
                        ["Kid A", "Revolver", None], library_pairs=pairs)
    assert out == ["keep", None, None]  # a null in either column gives a null
    resolved = columns.apply(fuzzy.batch_fuzzy_resolve, ["radiohed", "stereo lab", None],
                             catalog=["radiohead", "radio head", "stereolab"], threshold=0.85)
    assert resolved == [None, "stereolab", None]


def test_pandas_series_keeps_index_name_and_dtype():
    pd = pytest.importorskip("pandas")
    s = pd.Series(["  BjÃ¶rk ", None, "The Beatles", math.nan, pd.NA], index=[10, 3, 7, 1, 2], name="artist")
    out = columns.apply(text.batch_to_match_form, s)
    assert isinstance(out, pd.Series) and out.name == "artist" and list(out.index) == [10, 3, 7, 1, 2]
    # Nulls as pandas holds them in the result's dtype (None or NaN).
    assert out.isna().tolist() == [False, True, False, True, True]
    assert out.dropna().tolist() == ["bjork", "the beatles"]

    typed = s.astype("string")
    out = columns.apply(text.batch_to_match_form, typed)
    assert out.dtype == typed.dtype and out.isna().tolist() == [False, True, False, True, True]
    flags = columns.apply(fuzzy.batch_filter_artists, pd.Series(["The Beatles", "Beatles"]),
                          library_set={"the beatles"})
    assert flags.tolist() == [True, False]


def test_numpy_object_and_unicode_arrays():
    np = pytest.importorskip("numpy")
    arr = np.array(VALUES, dtype=object)
    out = columns.apply(text.batch_to_match_form, arr)
    assert isinstance(out, np.ndarray) and out.dtype == object and out.tolist() == MATCH
    fixed = np.array(["Sigur Rós", "Björk"])  # dtype '<U9'
    assert columns.apply(text.batch_to_ascii_form, fixed).tolist() == ["sigur ros", "bjork"]


def test_pyarrow_arrays_keep_their_string_type():
    pa = pytest.importorskip("pyarrow")
    arr = pa.array(VALUES, type=pa.large_string())
    out = columns.apply(text.batch_to_match_form, arr)
    assert isinstance(out, pa.Array) and out.type == pa.large_string() and out.to_pylist() == MATCH
    chunked = pa.chunked_array([VALUES[:2], VALUES[2:]])
    out = columns.apply(text.batch_to_match_form, chunked)
    assert isinstance(out, pa.ChunkedArray) and out.to_pylist() == MATCH
    table = pa.table({"artist": VALUES})
    table = table.append_column("key", columns.apply(text.batch_to_match_form, table["artist"]))
    assert table.column("key").to_pylist() == MATCH


def test_polars_series_keeps_its_name():
    pl = pytest.importorskip("polars")
    s = pl.Series("artist", VALUES)
    out = columns.apply(text.batch_to_match_form, s)
    assert isinstance(out, pl.Series) and out.name == "artist" and out.dtype == pl.Utf8
    assert out.to_list() == MATCH
    df = pl.DataFrame({"artist": VALUES})
    df = df.with_columns(columns.apply(text.batch_to_match_form, df["artist"]).alias("key"))
    assert df["key"].to_list() == MATCH


SINGLE_FORMS = {
    "storage": text.to_storage_form, "match": text.to_match_form, "ascii": text.to_ascii_form,
    "identity": text.to_identity_match_form, "identity-title": text.to_identity_match_form_title,
    "identity-punctuation": text.to_identity_match_form_with_punctuation,
    "identity-disambiguator": text.to_identity_match_form_with_disambiguator_strip, "pg": pg.to_pg_text_form,
}


@pytest.mark.parametrize("form", list(SINGLE_FORMS))
def test_forms_by_name_match_the_functions(form):
    sample = ["Beatles, The [Remastered]", "AC/DC (Live)", "Night Owl /3", " Ærø\x00 Ｆｕｌｌ ", "", "Ã©t\u00e9 ✓"]
    assert list(columns.FORMS) == list(SINGLE_FORMS)
    assert columns.FORMS[form](sample) == [SINGLE_FORMS[form](s) for s in sample]
    assert _ext.batch_text_form(form, [None, "x"]) == [None, SINGLE_FORMS[form]("x")]


def test_pandas_series_must_share_an_index():
    pd = pytest.importorskip("pandas")
    pairs = [("Radiohead", "Kid A")]
    artists = pd.Series(["Radiohead", "Lunar Mice", "Radiohead"], index=[0, 1, 2])
    titles = pd.Series(["Kid A", "x", "Amnesiac"], index=[0, 1, 2])
    with pytest.raises(ValueError, match="share one index"):
        columns.apply(fuzzy.batch_classify_releases, artists, titles[::-1], library_pairs=pairs)
    same = columns.apply(fuzzy.batch_classify_releases, artists, titles.copy(), library_pairs=pairs)
    assert same.tolist() == fuzzy.batch_classify_releases(artists.tolist(), titles.tolist(), pairs)


def _categorical_cases():
    values = ["Björk", None, "björk", "The Beatles", "Björk", "Кино", None, "the beatles"]
    cases = []
    try:
        import pandas as pd
        cases.append(("pandas", pd.Series(values, dtype="category", index=range(10, 18), name="a"),
                      lambda out: (out.dtype == "category", out.index.tolist() == list(range(10, 18)),
                                   [None if pd.isna(v) else v for v in out])))
    except ImportError:
        pass
    try:
        import pyarrow as pa
        dictionary = pa.array(values).dictionary_encode()
        chunked = pa.chunked_array([pa.array(values[:3]).dictionary_encode(), pa.array(values[3:]).dictionary_encode()])
        for name, col in (("arrow", dictionary), ("arrow-chunked", chunked)):
            cases.append((name, col, lambda out: (pa.types.is_dictionary(out.type), True, out.to_pylist())))
    except ImportError:
        pass
    try:
        import polars as pl
        for name, dtype in (("polars-categorical", pl.Categorical), ("polars-enum", pl.Enum(sorted(set(values) - {None})))):
            cases.append((name, pl.Series("a", values, dtype=dtype),
                          lambda out, enum=dtype != pl.Categorical: (
                              isinstance(out.dtype, pl.Enum) if enum else out.dtype == pl.Categorical, out.name == "a",
                                                    out.to_list())))
    except ImportError:
        pass
    return [pytest.param(col, check, id=name) for name, col, check in cases]


@pytest.mark.parametrize("column, check", _categorical_cases())
def test_categorical_columns_computed_per_category(column, check):
    calls = []

    def match_forms(values):
        calls.append(len(values))
        return text.batch_to_match_form(values)

    out = columns.apply(match_forms, column)
    is_categorical, same_labels, got = check(out)
    plain = columns.to_list(column)
    assert is_categorical and same_labels
    assert got == columns.apply(text.batch_to_match_form, plain)
    assert calls[0] <= len(set(plain) - {None})  # the categories, not the rows
    # Two categorical columns: once per distinct pair, and null where either is null.
    pairs = [("björk", "björk"), ("the beatles", "the beatles")]
    decisions = columns.apply(fuzzy.batch_classify_releases, column, column, library_pairs=pairs)
    assert check(decisions)[2] == columns.apply(fuzzy.batch_classify_releases, plain, plain, library_pairs=pairs)
