"""DedupSet: keys compared element by element as given, argument errors, and
re-entry while a key is read."""

import pytest

from zemo_etl.import_utils import DedupSet


def test_keys_are_compared_element_by_element_as_given():
    s = DedupSet()
    assert [s.add(k) for k in [("a", "b"), ("a b",), ("a",), ("x",), ("x", ""), (), ("caf\u00e9",), ("cafe\u0301",)]] == [
        True] * 8
    assert [s.add(k) for k in [("a", "b"), ["a", "b"], (), ("a", None)]] == [False, False, False, True]
    assert s.add(("a", "")) is False  # None reads as ""
    assert len(s) == 9 and ("x", None) in s and ("b", "a") not in s and ("CAF\u00c9",) not in s
    with pytest.raises(UnicodeEncodeError):
        s.add(("\ud800",))
    with pytest.raises(TypeError, match=r"takes 0 positional arguments but 1 was given"):
        DedupSet(1)


@pytest.mark.parametrize(
    "key, message",
    [
        ("ab", "argument 'key': Can't extract `str` to `Vec`"),
        (5, "argument 'key': 'int' object cannot be converted to 'Sequence'"),
        (("a", 5), "argument 'key': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_bad_keys_leave_the_set_unchanged(key, message):
    s = DedupSet()
    s.add(("a",))
    for attempt in (lambda: s.add(key), lambda: key in s):
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == message
    assert len(s) == 1


class ReentrantKey:
    """A sequence whose iteration uses the set it is being added to."""

    def __init__(self, target, action):
        self.target, self.action, self.errors = target, action, []

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError
        try:
            self.action(self.target)
        except RuntimeError as e:
            self.errors.append(str(e))
        return "k"


@pytest.mark.parametrize(
    "during, action, errors",
    [
        ("add", lambda s: s.add(("x",)), ["Already borrowed"]),
        ("add", lambda s: ("x",) in s, ["Already mutably borrowed"]),
        ("add", lambda s: len(s), ["Already mutably borrowed"]),
        ("in", lambda s: ("k",) in s, []),  # queries during a query are allowed
        ("in", lambda s: s.add(("y",)), ["Already borrowed"]),
    ],
)
def test_reentry_while_a_key_is_read(during, action, errors):
    s = DedupSet()
    if during == "in":
        s.add(("k",))
    key = ReentrantKey(s, action)
    assert (s.add(key) if during == "add" else key in s) is True
    assert key.errors == errors
    assert len(s) == 1 and ("k",) in s and ("x",) not in s and ("y",) not in s
