"""The call shell shared by every function: binding, extraction, messages."""

import pytest

from zemo_etl import _ext, fuzzy, pg, schema, text


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: text.to_match_form(), "to_match_form() missing 1 required positional argument: 's'"),
        (lambda: text.to_match_form("a", "b"), "to_match_form() takes 1 positional arguments but 2 were given"),
        (lambda: text.to_match_form(x=1), "to_match_form() got an unexpected keyword argument 'x'"),
        (lambda: text.to_match_form("a", s="b"), "to_match_form() got multiple values for argument 's'"),
        (lambda: text.split_artist_name_contextual(),
         "split_artist_name_contextual() missing 2 required positional arguments: 'name' and 'known_artists'"),
        (lambda: fuzzy.batch_classify_releases(),
         "batch_classify_releases() missing 3 required positional arguments: "
         "'artists', 'titles', and 'library_pairs'"),
        (lambda: fuzzy.batch_fuzzy_resolve([], [], 0.5, 2, 0.1, 9),
         "batch_fuzzy_resolve() takes from 3 to 5 positional arguments but 6 were given"),
        (lambda: fuzzy.batch_fuzzy_resolve([], []),
         "batch_fuzzy_resolve() missing 1 required positional argument: 'threshold'"),
        # An extraction error names the argument and keeps the inner error as the cause.
        (lambda: text.to_match_form(5), "argument 's': 'int' object cannot be converted to 'PyString'"),
        (lambda: text.batch_to_match_form("ab"), "argument 'inputs': Can't extract `str` to `Vec`"),
        (lambda: text.batch_to_match_form({"a"}), "argument 'inputs': 'set' object cannot be converted to 'Sequence'"),
        (lambda: text.batch_to_match_form({"a": 1}), "argument 'inputs': 'dict' object cannot be converted to 'Sequence'"),
        (lambda: text.batch_to_match_form(b"ab"), "argument 'inputs': 'int' object cannot be converted to 'PyString'"),
        (lambda: text.batch_to_match_form(["a", None]),
         "argument 'inputs': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: pg.batch_to_pg_text_form(["a", 1]), "argument 'items': 'int' object cannot be converted to 'PyString'"),
        (lambda: text.split_artist_name_contextual("a", ["b"]),
         "argument 'known_artists': 'list' object cannot be converted to 'PySet'"),
        (lambda: text.split_artist_name_contextual("a", {1}),
         "argument 'known_artists': 'int' object cannot be converted to 'PyString'"),
        (lambda: fuzzy.batch_classify_releases([], [], [["a", "b"]]),
         "argument 'library_pairs': 'list' object cannot be converted to 'PyTuple'"),
        (lambda: fuzzy.batch_classify_releases([], [], [("a", 1)]),
         "argument 'library_pairs': 'int' object cannot be converted to 'PyString'"),
        (lambda: fuzzy.batch_fuzzy_resolve([], [], "x"), "argument 'threshold': must be real number, not str"),
        (lambda: fuzzy.batch_fuzzy_resolve([], [], 0.5, 2.0),
         "argument 'limit': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    if message.startswith("argument '"):
        assert isinstance(info.value.__cause__, TypeError)
        assert str(info.value.__cause__) == message.split(": ", 1)[1]


_NULLS = "; for columns with nulls pass a pandas, pyarrow or polars column (nulls come back null), or use " \
         "zemo_etl.columns.apply"


# `_ext` names the parameter, the Python types and the element's position,
# counted as iteration reached it, whatever the kind of sequence.
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _ext.Catalogue(["a", "b", 1]), "entries: expected a str, got int at position 2"),
        (lambda: _ext.Catalogue(("a", b"b")), "entries: expected a str, got bytes at position 1"),
        (lambda: _ext.Catalogue(["a", None]), "entries: expected a str, got NoneType at position 1"),
        (lambda: _ext.Catalogue("ab"), "entries: expected a sequence, got str"),
        (lambda: _ext.Catalogue(5), "entries: expected a sequence, got int"),
        (lambda: _ext.Catalogue([]).resolve(("a", None)), "names: expected a str, got None at position 1" + _NULLS),
        (lambda: _ext.Catalogue([]).explain([float("nan")]), "names: expected a str, got nan at position 0" + _NULLS),
        (lambda: _ext.Catalogue([]).resolve([1.5]), "names: expected a str, got float at position 0"),
        (lambda: _ext.LibraryIndex([("a", "b"), ("c", 1)]),
         "library_pairs: expected a str, got int in the pair at position 1"),
        (lambda: _ext.LibraryIndex([("a", "b"), ["c", "d"]]), "library_pairs: expected a tuple, got list at position 1"),
        (lambda: _ext.LibraryIndex([]).classify(["a"], ["b", None]),
         "titles: expected a str, got None at position 1" + _NULLS),
        (lambda: _ext.LibraryIndex.from_bytes("x"), "data: expected bytes, got str"),
        (lambda: _ext.table_columns(5, "t"), "path: expected a str, got int"),
    ],
)
def test_ext_type_errors_name_the_position_and_types(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_no_argument_functions_use_the_interpreters_check():
    with pytest.raises(TypeError, match=r"library_ddl\(\) takes no arguments \(1 given\)$"):
        schema.library_ddl(1)


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda: text.to_match_form("\ud800"), UnicodeEncodeError),
        (lambda: text.batch_to_match_form(["ok", "\udfff"]), UnicodeEncodeError),
        (lambda: fuzzy.batch_fuzzy_resolve([], [], 0.5, -1), OverflowError),
        (lambda: fuzzy.batch_fuzzy_resolve([], [], 0.5, 2**64), OverflowError),
        (lambda: fuzzy.batch_classify_releases([], [], [("a", "b", "c")]), ValueError),
    ],
)
def test_other_errors_are_not_wrapped(call, exc):
    with pytest.raises(exc) as info:
        call()
    assert not str(info.value).startswith("argument ")
    if exc is ValueError:
        assert str(info.value) == "expected tuple of length 2, but got tuple of length 3"


def test_accepted_kinds():
    assert text.to_match_form(s="A") == text.to_match_form("A") == "a"
    assert text.to_match_form(type("Str", (str,), {})("B ")) == "b"  # a subclass

    class Index:
        def __index__(self):
            return 1

    assert fuzzy.batch_fuzzy_resolve(["abc"], ["abc", "xyz"], 0.5, Index(), True) == ["abc"]


def test_text_functions_take_none_as_empty_text_or_refuse_it():
    for name in text.__all__:
        if not name.startswith("batch_"):
            args = (None, set()) if name == "split_artist_name_contextual" else (None,)
            if name.startswith(("split_", "is_")):
                with pytest.raises(TypeError, match=r"^argument 'name': 'NoneType' object cannot be converted"):
                    getattr(text, name)(*args)
            else:
                assert getattr(text, name)(*args) == "", name


def test_sequence_elements_come_from_iteration():
    class Boastful:
        def __len__(self):
            return 2**62  # only a size hint, and an absurd one that must not be taken at its word

        def __getitem__(self, i):
            if i < 3:
                return "X" * (i + 1)
            raise IndexError

    assert text.batch_to_match_form(Boastful()) == ["x", "xx", "xxx"]
