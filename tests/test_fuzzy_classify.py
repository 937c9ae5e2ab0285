"""batch_classify_releases and batch_filter_artists: decisions on small
libraries, agreement with the plain Python classifier (reference.fuzzy),
independence from the thread count, and argument errors. The pool under
fork and concurrent callers is the C++ runner's (fuzzy_pool)."""

import os
import pathlib
import random
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from shared import name_strategy
from zemo_etl import fuzzy, text
from zemo_etl.index import DEFAULT_THRESHOLDS, LibraryIndex

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"  # the name generators


def test_small_libraries_and_argument_errors():
    # Match forms of the release and of the library pairs are compared.
    library = [("The Beatles", "Abbey Road"), ("Radiohead", "Kid A")]
    assert fuzzy.batch_classify_releases(["RADIOHEAD", "lunar mice"], ["Kid  A", "quiet hours"], library) == [
        "keep", "prune"]
    assert fuzzy.batch_classify_releases([], [], library) == []
    assert fuzzy.batch_classify_releases(["the beatles", "x"], ["abbey road", "y"], []) == ["prune", "prune"]
    # A pair of empty match forms makes the empty release an exact match.
    assert fuzzy.batch_classify_releases([""], [" "], [(" ", ""), ("x", "y")]) == ["keep"]
    # A shared "|||" is not a blocking key.
    assert fuzzy.batch_classify_releases(["|||"], ["abc"], [("|||", "xyz")]) == ["prune"]
    # Artists tied on the release: only the titles of the byte-wise smaller one count.
    tied = [("abcd x", "zzzzzzzz"), ("abce x", "the title"), ("abcd x", "filler words")]
    assert fuzzy.batch_classify_releases(["abcf x"] * 2, ["the title", "zzzzzzzz"], tied) == ["review", "keep"]
    # A token-sort ratio of exactly 0.8, from the shortest entry that can reach it.
    assert fuzzy.batch_classify_releases(["abc"], ["de xyzw"], [("abc", "de")]) == ["keep"]
    with pytest.raises(ValueError, match="^artists and titles must have the same length$"):
        fuzzy.batch_classify_releases(["a"], ["b", "c"], [])
    # library_pairs is extracted before the lengths are compared.
    with pytest.raises(TypeError, match="^argument 'library_pairs': "):
        fuzzy.batch_classify_releases(["a"], [], [["x", "y"]])


_BATCH = f"""
import sys
sys.path.insert(0, {str(BENCH)!r})
import fuzzy_names as names
from zemo_etl import fuzzy
vocab = names.Vocabulary(size=300, seed=1)
library = names.library_pairs(vocab, 400)
artists, titles = names.releases(vocab, library, 2000, near_share=0.4)
print(fuzzy.batch_classify_releases(artists, titles, library))
"""


def test_result_does_not_depend_on_thread_count():
    # "0" and "many" are not positive counts: the pool falls back to the CPUs.
    results = {threads: subprocess.run([sys.executable, "-c", _BATCH], capture_output=True, text=True, timeout=60,
                                       env={**os.environ, "ZEMO_ETL_NUM_THREADS": str(threads)}, check=True).stdout
               for threads in (1, 2, 7, "0", "many")}
    assert len(set(results.values())) == 1
    assert "keep" in results[1] and "review" in results[1]


def test_filter_artists():
    library = {"the beatles", "bjork", "The Beatles"}
    names = ["The Beatles", "  THE   beatles ", "Björk", "beatles", ""]
    assert fuzzy.batch_filter_artists(names, library) == [True, True, True, False, False]


# Keep values apart from each other, the gate below and above them, a floor of 0.
_THRESHOLDS = [{}, dict(token_set_keep=0.6, token_sort_keep=0.7, two_stage_keep=0.9, artist_gate=0.5, review_floor=0.3),
               dict(token_set_keep=0.9, token_sort_keep=0.6, two_stage_keep=0.5, artist_gate=0.9, review_floor=0.0),
               dict(token_set_keep=0.7, token_sort_keep=0.9, two_stage_keep=0.6, artist_gate=0.0, review_floor=0.5)]


@given(
    library=st.lists(st.tuples(name_strategy, name_strategy), max_size=40),
    releases=st.lists(st.tuples(name_strategy, name_strategy), min_size=1, max_size=15),
    shared=st.sampled_from(["", "the"]),
    copies=st.integers(min_value=1, max_value=3),
    thresholds=st.sampled_from(_THRESHOLDS),
)
def test_matches_plain_classifier_on_random_libraries(library, releases, shared, copies, thresholds):
    pytest.importorskip("rapidfuzz")
    from reference import fuzzy as reference
    if shared:
        library = [(f"{shared} {a}", t) for a, t in library]
    library = library * copies
    # Releases that are near copies of library pairs, besides the random ones.
    releases = releases + [(a, t + "b") for a, t in library[:5]] + [(a[1:], t) for a, t in library[5:10]]
    artists, titles = [a for a, _ in releases], [t for _, t in releases]
    lib = reference.Library(library, text.to_match_form)
    expected = reference.classify_releases(artists, titles, lib, text.to_match_form, **thresholds)
    assert LibraryIndex(library, **thresholds).classify(artists, titles) == expected


# Artists beside the release's in byte order are scored first, but only those
# sharing a word with it are candidates: "abcdefgh-y" would score far above
# "qq zz" and keep by its title. A library artist's own entries are asked
# first for the token scores, whichever entry reaches them.
@pytest.mark.parametrize("library, releases", [
    ([("abcdefgh-y", "the title"), ("qq zz", "other words")], [("abcdefgh zz", "the title")]),
    ([("abcdefgh-y zz", "the title"), ("qq zz", "other words"), ("abcdefgh-x", "the title")],
     [("abcdefgh zz", "the title"), ("abcdefgh-y", "the title")]),
    ([("the band", "song one"), ("the band", "song two live"), ("band the", "song one"), ("the bend", "song two")],
     [("the band", "song one!"), ("the band", "song two"), ("The Band", "other song"), ("the band", "one song")]),
])
def test_matches_plain_classifier_on_made_cases(library, releases):
    pytest.importorskip("rapidfuzz")
    from reference import fuzzy as reference
    artists, titles = [a for a, _ in releases], [t for _, t in releases]
    expected = reference.classify_releases(artists, titles, reference.Library(library, text.to_match_form),
                                           text.to_match_form)
    index = LibraryIndex(library)
    assert index.classify(artists, titles) == expected
    assert [e["decision"] for e in index.explain(artists, titles, exact=False)] == expected


def _long_list_case(seed):
    """A library where "the" and "john" are each held by more artists than a
    posting list needs for its count-box tree, with equally scored artists in
    both kinds of list, and releases near and far from it."""
    rng = random.Random(seed)
    word = lambda: "".join(rng.choice("bdklmrst") + rng.choice("aeiou") for _ in range(rng.randint(2, 4)))
    artists = sorted({f"the {word()}" for _ in range(2500)} | {f"john {word()}" for _ in range(2500)}
                     | {word() + " " + word() for _ in range(200)})
    # Equal scores: "the bakea" and "the bakeb" against "the bakem" in one
    # tree; "bakea the" (a tree's) and "bakem thx" (a short list's) against
    # "bakem the". The earliest must win, and decides by its titles.
    tied = ["the bakea", "the bakeb", "bakea the", "bakem thx"]
    library = [(a, word() + " " + word()) for a in artists + tied for _ in range(rng.randint(1, 2))]
    releases = rng.sample(library, 30)
    releases += [(a[:-1] + rng.choice("aeiou"), t) for a, t in rng.sample(library, 30)]
    releases += [(a.replace("the ", "teh ").replace("john ", "jon "), t) for a, t in rng.sample(library, 30)]
    releases += [(f"the {word()}", word()) for _ in range(20)] + [(f"john {word()}", word()) for _ in range(20)]
    releases += [(q, t) for a, t in library if a in tied for q in ("the bakem", "bakem the")]
    return library, releases


@pytest.mark.parametrize("thresholds", _THRESHOLDS[:3])
def test_releases_of_one_artist_decide_as_each_alone(thresholds):
    # A batch takes the releases of one artist one after another and searches the library's artists once for
    # them all: in whatever order they come, each is decided and explained as it is alone.
    pytest.importorskip("rapidfuzz")
    from reference import fuzzy as reference
    library, _ = _long_list_case(7)
    rng = random.Random(7)
    names = [a for a, _ in rng.sample(library, 5)] + ["the bakem", "teh bakem", "The Bakem", "bakem the", "the", ""]
    releases = [(rng.choice(names), t) for _, t in rng.sample(library, 70)] + [(a, "") for a in names]
    rng.shuffle(releases)
    artists, titles = [a for a, _ in releases], [t for _, t in releases]
    index = LibraryIndex(library, **thresholds)
    expected = reference.classify_releases(artists, titles, reference.Library(library, text.to_match_form),
                                           text.to_match_form, **thresholds)
    assert index.classify(artists, titles) == expected
    for exact in (False, True):
        assert index.explain(artists, titles, exact=exact) == [index.explain([a], [t], exact=exact)[0]
                                                               for a, t in releases]


# Keep exactly when the two-stage score reaches 0.96: the best artist decides.
@pytest.mark.parametrize("thresholds", _THRESHOLDS + [dict(token_set_keep=0.0, token_sort_keep=0.0, two_stage_keep=0.96,
                                                           artist_gate=0.5, review_floor=0.0)])
def test_matches_plain_classifier_with_long_artist_lists(thresholds, tmp_path):
    # The artists of such lists are searched by tree; the decisions and the
    # explained decisions stay those of the plain classifier, loaded or built.
    pytest.importorskip("rapidfuzz")
    from reference import fuzzy as reference
    library, releases = _long_list_case(len(thresholds))
    artists, titles = [a for a, _ in releases], [t for _, t in releases]
    plain = reference.Library(library, text.to_match_form)
    expected = reference.classify_releases(artists, titles, plain, text.to_match_form, **thresholds)
    index = LibraryIndex(library, **thresholds)
    assert index.classify(artists, titles) == expected
    explained = index.explain(artists, titles)
    assert [e["decision"] for e in explained] == expected
    # The best artist itself, through its titles, whatever the decision.
    gate = thresholds.get("artist_gate", DEFAULT_THRESHOLDS["artist_gate"])
    two_stage = [plain._two_stage(text.to_match_form(a), text.to_match_form(t), gate) for a, t in releases]
    assert [e["two_stage"] for e in explained] == pytest.approx(two_stage, abs=1e-12)
    index.save(tmp_path / "index")
    assert LibraryIndex.load(tmp_path / "index").classify(artists, titles) == expected
