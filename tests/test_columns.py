"""Columns of pandas, NumPy, pyarrow and polars through the batch functions and back."""

import math

import pytest

from zemo_etl import _ext, columns, fuzzy, pg, text

VALUES = ["  BjÃ¶rk ", None, "The Beatles", "Кино", ""]
MATCH = ["bjork", None, "the beatles", "кино", ""]
PAIRS = [("Radiohead", "Kid A"), ("The Beatles", "Abbey Road")]


def test_plain_sequences_nulls_and_several_columns():
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
    # A null in either column gives a null; keyword arguments pass through.
    assert columns.apply(fuzzy.batch_classify_releases, ["Radiohead", None, "Lunar Mice"],
                         ["Kid A", "Revolver", None], library_pairs=PAIRS) == ["keep", None, None]
    resolved = columns.apply(fuzzy.batch_fuzzy_resolve, ["radiohed", "stereo lab", None],
                             catalog=["radiohead", "radio head", "stereolab"], threshold=0.85)
    assert resolved == [None, "stereolab", None]


def test_pandas_series_keep_index_name_and_dtype():
    pd = pytest.importorskip("pandas")
    s = pd.Series(["  BjÃ¶rk ", None, "The Beatles", math.nan, pd.NA], index=[10, 3, 7, 1, 2], name="artist")
    for column in (s, s.astype("string")):
        out = columns.apply(text.batch_to_match_form, column)
        assert (type(out), out.name, list(out.index), out.dtype) == (
            pd.Series, "artist", [10, 3, 7, 1, 2], column.dtype)
        # Nulls as pandas holds them in the result's dtype (None, NaN or NA).
        assert out.isna().tolist() == [False, True, False, True, True]
        assert out.dropna().tolist() == ["bjork", "the beatles"]
    flags = columns.apply(fuzzy.batch_filter_artists, pd.Series(["The Beatles", "Beatles"]),
                          library_set={"the beatles"})
    assert flags.tolist() == [True, False]
    # Several Series must share one index.
    artists = pd.Series(["Radiohead", "Lunar Mice", "Radiohead"])
    titles = pd.Series(["Kid A", "x", "Amnesiac"])
    with pytest.raises(ValueError, match="share one index"):
        columns.apply(fuzzy.batch_classify_releases, artists, titles[::-1], library_pairs=PAIRS)
    same = columns.apply(fuzzy.batch_classify_releases, artists, titles.copy(), library_pairs=PAIRS)
    assert same.tolist() == fuzzy.batch_classify_releases(artists.tolist(), titles.tolist(), PAIRS)


def test_numpy_object_and_unicode_arrays():
    np = pytest.importorskip("numpy")
    out = columns.apply(text.batch_to_match_form, np.array(VALUES, dtype=object))
    assert isinstance(out, np.ndarray) and out.dtype == object and out.tolist() == MATCH
    fixed = np.array(["Sigur Rós", "Björk"])  # dtype '<U9'
    assert columns.apply(text.batch_to_ascii_form, fixed).tolist() == ["sigur ros", "bjork"]


def test_pyarrow_arrays_keep_their_string_type():
    pa = pytest.importorskip("pyarrow")
    arr = pa.array(VALUES, type=pa.large_string())
    out = columns.apply(text.batch_to_match_form, arr)
    assert isinstance(out, pa.Array) and out.type == pa.large_string() and out.to_pylist() == MATCH
    out = columns.apply(text.batch_to_match_form, pa.chunked_array([VALUES[:2], VALUES[2:]]))
    assert isinstance(out, pa.ChunkedArray) and out.to_pylist() == MATCH


def _column(kind):
    """VALUES as a column of `kind` ("library:type[:chunked]")."""
    library, _, kind_rest = kind.partition(":")
    if library == "arrow":
        pa = pytest.importorskip("pyarrow")
        type_name, _, chunked = kind_rest.partition(":")
        if not hasattr(pa, type_name):
            pytest.skip(f"pyarrow {pa.__version__} has no {type_name}")
        type_ = getattr(pa, type_name)()
        if not chunked:
            return pa.array(VALUES, type=type_)
        # Chunks of 2, 0 and 3 values, the last a slice of a longer array.
        tail = pa.array(["x", *VALUES[2:]], type=type_).slice(1)
        return pa.chunked_array([pa.array(VALUES[:2], type=type_), pa.array([], type=type_), tail])
    if library == "pandas":
        pd = pytest.importorskip("pandas")
        dtype = kind_rest
        if kind_rest.startswith("arrow-"):
            pa = pytest.importorskip("pyarrow")
            dtype = pd.ArrowDtype(getattr(pa, kind_rest[len("arrow-"):])())
        return pd.Series(VALUES, dtype=dtype, index=[9, 4, 7, 1, 0], name="artist")
    if library == "polars":
        pl = pytest.importorskip("polars")
        return pl.Series("artist", VALUES, dtype=getattr(pl, kind_rest))
    np = pytest.importorskip("numpy")
    return np.array(VALUES, dtype=object)


def _kind(column):
    """What of a column must survive a call: its class, type, chunk lengths, index, name."""
    kind = columns.kind_of(column)
    if kind == "arrow":
        return type(column).__name__, str(column.type), [len(c) for c in getattr(column, "chunks", [column])]
    if kind == "pandas":
        return kind, str(column.dtype), column.index.tolist(), column.name
    return kind, str(column.dtype), getattr(column, "name", None)


KINDS = ["arrow:string", "arrow:large_string", "arrow:string_view", "arrow:string:chunked",
         "arrow:large_string:chunked", "arrow:string_view:chunked", "pandas:object", "pandas:string",
         "pandas:string[pyarrow]", "pandas:arrow-string", "pandas:arrow-large_string", "pandas:arrow-string_view",
         "pandas:category", "polars:String", "polars:Categorical", "numpy:object"]


@pytest.mark.parametrize("kind", KINDS)
def test_every_column_kind_comes_back_as_it_went_in(kind):
    # By a batch function, by a form's buffer path, and through the prepared
    # index: the same class, type, chunks and index, the same values as lists give.
    column = _column(kind)
    for func in (text.batch_to_match_form, columns.FORMS["match"]):
        out = columns.apply(func, column)
        assert _kind(out) == _kind(column)
        assert columns.to_list(out) == MATCH
    from zemo_etl.index import LibraryIndex
    decisions = LibraryIndex(PAIRS).classify(column, column)
    assert _kind(columns._named(column, "decision")) == _kind(decisions)
    assert columns.to_list(decisions) == columns.apply(fuzzy.batch_classify_releases, VALUES, VALUES,
                                                       library_pairs=PAIRS)


def test_polars_series_keeps_its_name():
    pl = pytest.importorskip("polars")
    out = columns.apply(text.batch_to_match_form, pl.Series("artist", VALUES))
    assert isinstance(out, pl.Series) and (out.name, out.dtype, out.to_list()) == ("artist", pl.Utf8, MATCH)


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


CATEGORIES = ["Björk", None, "björk", "The Beatles", "Björk", "Кино", None, "the beatles"]


def categorical(kind):
    # A categorical column of CATEGORIES, and a function telling of a result
    # whether it is still categorical with its labels, and its values.
    if kind == "pandas":
        pd = pytest.importorskip("pandas")
        index = list(range(10, 18))
        return (pd.Series(CATEGORIES, dtype="category", index=index, name="a"),
                lambda out: (out.dtype == "category" and out.index.tolist() == index,
                             [None if pd.isna(v) else v for v in out]))
    if kind.startswith("arrow"):
        pa = pytest.importorskip("pyarrow")
        parts = [CATEGORIES[:3], CATEGORIES[3:]] if kind == "arrow-chunked" else [CATEGORIES]
        chunked = pa.chunked_array([pa.array(p).dictionary_encode() for p in parts])
        return (chunked if len(parts) > 1 else chunked.chunk(0),
                lambda out: (pa.types.is_dictionary(out.type), out.to_pylist()))
    pl = pytest.importorskip("polars")
    enum = kind == "polars-enum"
    dtype = pl.Enum(sorted(set(CATEGORIES) - {None})) if enum else pl.Categorical
    return (pl.Series("a", CATEGORIES, dtype=dtype),
            lambda out: ((isinstance(out.dtype, pl.Enum) if enum else out.dtype == pl.Categorical) and out.name == "a",
                         out.to_list()))


@pytest.mark.parametrize("kind", ["pandas", "arrow", "arrow-chunked", "polars-categorical", "polars-enum"])
def test_categorical_columns_computed_per_category(kind):
    column, check = categorical(kind)
    calls = []

    def match_forms(values):
        calls.append(len(values))
        return text.batch_to_match_form(values)

    is_categorical, got = check(columns.apply(match_forms, column))
    plain = columns.to_list(column)
    assert is_categorical and got == columns.apply(text.batch_to_match_form, plain)
    assert calls[0] <= len(set(plain) - {None})  # the categories, not the rows
    # Two categorical columns: once per distinct pair, and null where either is null.
    pairs = [("björk", "björk"), ("the beatles", "the beatles")]
    decisions = columns.apply(fuzzy.batch_classify_releases, column, column, library_pairs=pairs)
    assert check(decisions)[1] == columns.apply(fuzzy.batch_classify_releases, plain, plain, library_pairs=pairs)
