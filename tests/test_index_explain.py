"""LibraryIndex.explain and Catalogue.explain, built and after a round trip
through bytes, against plain Python over the public measures, their
decisions against classify and resolve, and the number guard of
LibraryIndex(distinct_numbers=True)."""

import math

import pytest
from hypothesis import given
from hypothesis import strategies as st
from shared import name_strategy, near_ties

from reference.fuzzy import resolve

from zemo_etl import fuzzy, text
from zemo_etl.index import DEFAULT_THRESHOLDS, Catalogue, LibraryIndex

_MEASURES = ("token_set", "token_sort", "two_stage")


@st.composite
def _thresholds(draw):
    """The defaults, or keep values at, near or far above the floor."""
    if draw(st.booleans()):
        return {}
    floor = draw(st.sampled_from([0.0, 0.1, 0.4, 0.5, 0.6, 1.0]))
    keep = st.sampled_from([x for x in (0.3, 0.4, 0.5, 0.6, 0.8, 1.0) if x >= floor])
    return dict(token_set_keep=draw(keep), token_sort_keep=draw(keep), two_stage_keep=draw(keep),
                artist_gate=draw(st.sampled_from([0.0, 0.7, 1.0])), review_floor=floor)


def _index_tokens(s):
    return {t for t in s.lower().split() if t != "|||"}


def _best(scored, top):
    """The best score and the first `top` positions reaching it."""
    if not scored:
        return 0.0, []
    best = max(s for _, s in scored)
    return best, [i for i, s in scored if s == best][:top]


def _plain_explain(pairs, artist, title, gate, top):
    """Scores and entries of one release (match forms) from the public measures."""
    forms = [(text.to_match_form(a), text.to_match_form(t)) for a, t in pairs]
    q = f"{artist} ||| {title}"
    cands = [i for i, (a, t) in enumerate(forms) if _index_tokens(q) & _index_tokens(f"{a} ||| {t}")]
    out = {"exact": (artist, title) in forms}
    for name, metric in (("token_set", fuzzy.token_set_ratio), ("token_sort", fuzzy.token_sort_ratio)):
        out[name], out[name + "_entries"] = _best([(i, metric(q, "{} ||| {}".format(*forms[i]))) for i in cands], top)
    artists = sorted({a for a, _ in forms if _index_tokens(artist) & _index_tokens(a)}, key=str.encode)
    best_a, best = None, 0.0
    for a in artists:
        s = fuzzy.jaro_winkler_similarity(artist, a)
        if s > best:
            best_a, best = a, s
    out["two_stage"], out["two_stage_entries"] = 0.0, []
    if best_a is not None and best >= gate:
        bt, entries = _best([(i, fuzzy.jaro_winkler_similarity(title, t)) for i, (a, t) in enumerate(forms)
                             if a == best_a], top)
        out["two_stage"], out["two_stage_entries"] = math.sqrt(best * bt), entries
    for m in _MEASURES:
        out[m + "_entries"] = [(i, *forms[i]) for i in out[m + "_entries"]]
    return out


def _likeliest(e, artist, title, gate):
    """Of the entries an explanation names, the best on the mean of the three scores (ties: library order)."""
    q = f"{artist} ||| {title}"

    def mean(entry):
        _, a, t = entry
        jw = fuzzy.jaro_winkler_similarity(artist, a)
        two_stage = math.sqrt(jw * fuzzy.jaro_winkler_similarity(title, t)) if jw >= gate else 0.0
        theirs = f"{a} ||| {t}"
        return (fuzzy.token_set_ratio(q, theirs) + fuzzy.token_sort_ratio(q, theirs) + two_stage) / 3.0

    named = {entry for m in _MEASURES for entry in e[m + "_entries"]}
    return max(sorted(named), key=lambda entry: (mean(entry), -entry[0]), default=None)


@given(library=st.lists(st.tuples(name_strategy, name_strategy), max_size=30),
       releases=st.lists(st.tuples(name_strategy, name_strategy), min_size=1, max_size=10),
       copies=st.integers(1, 2), thresholds=_thresholds(), top=st.integers(1, 3), numbers=st.booleans(),
       loaded=st.booleans())
def test_explain_matches_plain_scores_and_classify(library, releases, copies, thresholds, top, numbers, loaded):
    library = library * copies
    releases = releases + [(a, t + "b") for a, t in library[:4]] + [(a, t + " 2") for a, t in library[4:8]]
    artists, titles = [a for a, _ in releases], [t for _, t in releases]
    built = LibraryIndex(library, distinct_numbers=numbers, **thresholds)
    index = LibraryIndex.from_bytes(built.to_bytes(), distinct_numbers=numbers) if loaded else built
    explained = index.explain(artists, titles, top=top)
    assert [e["decision"] for e in explained] == index.classify(artists, titles) == built.classify(artists, titles)
    plain = LibraryIndex(library, **thresholds).explain(artists, titles, top=top) if numbers else explained
    th = {**DEFAULT_THRESHOLDS, **thresholds}
    for e, p, a, t in zip(explained, plain, artists, titles):
        expected = _plain_explain(library, text.to_match_form(a), text.to_match_form(t), th["artist_gate"], top)
        assert {k: e[k] for k in expected} == expected
        assert e["entry"] == _likeliest(e, text.to_match_form(a), text.to_match_form(t), th["artist_gate"])
        assert ("numbers" in e) == numbers
        if e["decided_by"] == "numbers":
            assert (p["decision"], e["decision"]) == ("keep", "review") and e["numbers"]
        else:
            assert (e["decision"], e["decided_by"]) == (p["decision"], p["decided_by"])
        # The steps of the classifier, in their order, on the scores given.
        s1, s2, s3 = (p[m] for m in _MEASURES)
        floor = th["review_floor"]
        step = ("exact" if p["exact"] else "token_set" if floor <= s1 < th["token_set_keep"]
                else "token_sort" if floor <= s2 < th["token_sort_keep"] else "all")
        assert p["decided_by"] == step


def _decision(s1, s2, s3, th):
    floor = th["review_floor"]
    if floor <= s1 < th["token_set_keep"] or floor <= s2 < th["token_sort_keep"]:
        return "review"
    if s1 >= th["token_set_keep"] and s2 >= th["token_sort_keep"] and s3 >= th["two_stage_keep"]:
        return "keep"
    return "prune" if max(s1, s2, s3) < floor else "review"


@given(library=st.lists(st.tuples(name_strategy, name_strategy), max_size=30),
       releases=st.lists(st.tuples(name_strategy, name_strategy), min_size=1, max_size=10),
       thresholds=_thresholds(), numbers=st.booleans())
def test_evidence_mode_bounds_the_exact_scores_and_decides_alike(library, releases, thresholds, numbers):
    releases = releases + [(a, t + "b") for a, t in library[:4]] + [(a, t + " 2") for a, t in library[4:8]]
    releases += library[8:10]
    artists, titles = [a for a, _ in releases], [t for _, t in releases]
    index = LibraryIndex(library, distinct_numbers=numbers, **thresholds)
    exact = index.explain(artists, titles)
    bounded = index.explain(artists, titles, exact=False)
    th = {**DEFAULT_THRESHOLDS, **thresholds}
    assert [e["decision"] for e in bounded] == [e["decision"] for e in exact] == index.classify(artists, titles)
    metrics = {"token_set": fuzzy.token_set_ratio, "token_sort": fuzzy.token_sort_ratio}
    for e, b, a, t in zip(exact, bounded, artists, titles):
        assert b["exact"] == e["exact"]
        # A step left open by a score the decision did not need is told as the three scores together.
        assert b["decided_by"] == e["decided_by"] or (b["decided_by"], b["decision"]) == ("all", "review"), (b, e)
        if b["reason"] != e["reason"]:
            assert "below" in b["reason"] or "at least" in b["reason"] or "not scored" in b["reason"], (b, e)
        q = text.to_match_form(a) + " ||| " + text.to_match_form(t)
        low = [b[m] for m in _MEASURES]
        most = [b[m] if b[m + "_below"] is None else min(1.0, math.nextafter(b[m + "_below"], 0)) for m in _MEASURES]
        if not b["exact"] and b["decided_by"] != "numbers":
            # Any scores within the bounds decide alike.
            for corner in (low, most, [low[0], most[1], low[2]], [most[0], low[1], most[2]]):
                assert _decision(*corner, th) == b["decision"], corner
        for m, metric in [*metrics.items(), ("two_stage", None)]:
            low, below = b[m], b[m + "_below"]
            if below is None:
                assert low == e[m]
            else:
                assert low <= e[m] < below and low < 1.0
            # The entry given reaches the lower bound.
            if metric and b[m + "_entries"]:
                (_, ea, et), = b[m + "_entries"]
                assert metric(q, f"{ea} ||| {et}") >= low
            elif metric:
                assert low == 0.0
        if b["exact"] and e["two_stage"] == 1.0:
            # An exact pair's own entry is looked at first: it settles every measure at 1.0.
            assert b["two_stage_below"] is None and b["entry"] == e["entry"]
        assert b["entry"] == _likeliest(b, text.to_match_form(a), text.to_match_form(t), th["artist_gate"])
        if e["entry"] is None:
            assert b["entry"] is None


def test_explain_entries_reasons_and_errors():
    library = [("The Beatles", "Abbey Road"), ("Radiohead", "Kid A"), ("radiohead", "KID A"),
               ("Radiohead", "Kid B"), ("Stereolab", "Dots and Loops")]
    index = LibraryIndex(library)
    kept, review, pruned, exact = index.explain(["RADIOHEAD", "beatles", "nobody", "the beatles"],
                                                ["Kid  A (Live)", "abbey road remastered", "x", "abbey road"], top=5)
    assert (kept["decision"], kept["decided_by"], len(kept["two_stage_entries"])) == ("keep", "all", 2)
    assert (review["decided_by"], review["reason"]) == ("token_sort", "token_sort 0.7458 in the review band [0.40, 0.80)")
    assert pruned == {"decision": "prune", "exact": False, "token_set": 0.0, "token_sort": 0.0, "two_stage": 0.0,
                      "token_set_entries": [], "token_sort_entries": [], "two_stage_entries": [], "entry": None,
                      "decided_by": "all", "reason": "all three scores below the review floor 0.40"}
    # The likeliest entry of several tied ones is the first in library order.
    assert kept["entry"] == (1, "radiohead", "kid a") and review["entry"] == (0, "the beatles", "abbey road")
    assert (exact["decided_by"], exact["reason"], exact["token_set"]) == ("exact", "exact pair in the library", 1.0)
    for args, error in [((["a"], ["b", "c"]), "artists and titles must have the same length"),
                        ((["a"], ["b"], 0), "top must be at least 1")]:
        with pytest.raises(ValueError, match=error):
            index.explain(*args)
    with pytest.raises(TypeError, match="titles: expected a str, got None at position 1"):
        index.explain(["a", "b"], ["a", None])


def test_the_likeliest_entry_is_the_best_on_all_three_scores():
    # The best token-sort entry shares no word with the release; the entry a person needs is the token-set one.
    index = LibraryIndex([("the quiet foxes", "rain sun dream machine"), ("Prince", "Purple Rain"),
                          ("Prince", "Sign o the Times")])
    e, = index.explain(["Prince & The Revolution"], ["Purple Rain (Deluxe Expanded Edition)"])
    assert e["token_sort_entries"] == [(0, "the quiet foxes", "rain sun dream machine")]
    assert e["entry"] == e["token_set_entries"][0] == (1, "prince", "purple rain")


@pytest.mark.parametrize("release, held, decision", [
    ("Led Zeppelin II", "Led Zeppelin IV", "review"),
    ("Live 1966", "Live 1975", "review"),
    ("Greatest Hits Vol. 2", "Greatest Hits Vol. 3", "review"),
    ("Greatest Hits Vol. 2", "Greatest Hits Vol. II", "keep"),
    ("Symphony No. 05", "Symphony No. 5", "keep"),
    ("Anthology Part I", "Anthology Part IV", "review"),
    ("Abbey Road 2", "Abbey Road", "review"),
    ("Abbey Road (Live)", "Abbey Road", "keep"),  # no number: as without the guard
    ("Abbey Road", "Abbey Road 2019 Mix", "keep"),
    ("Songs for the Black Tower (Remastered 2011)", "Songs for the Black Tower", "keep"),  # an edition
    ("Live [Remastered 2011] - Disc 2", "Live [Remastered 2011] - Disc 1", "review"),
])
def test_number_guard(release, held, decision):
    library = [("The Band", held), ("Other Band", "Something Else")]
    assert LibraryIndex(library).classify(["The Band"], [release]) == ["keep"]
    (e,) = LibraryIndex(library, distinct_numbers=True).explain(["The Band"], [release])
    assert (e["decision"], e["decided_by"] == "numbers") == (decision, decision == "review")


@given(near_ties(), st.lists(st.text(max_size=6), max_size=3), st.booleans())
def test_catalogue_explain_matches_resolve_and_ranking(case, more_names, loaded):
    names, catalog, threshold, limit, ambiguity = case
    names = names + more_names
    catalogue = Catalogue.from_bytes(Catalogue(catalog).to_bytes()) if loaded else Catalogue(catalog)
    # The batch function takes any threshold and gap, and a limit of 0 for an
    # empty catalogue; a Catalogue only what can resolve.
    if not (0 <= threshold <= 1 and 0 <= ambiguity <= 1 and limit >= 1):
        for call in (catalogue.resolve, catalogue.explain):
            with pytest.raises(ValueError, match=r"^(limit must be at least 1|\w+ must be a number in \[0, 1\], .*)$"):
                call(names, threshold, limit, ambiguity)
        return
    expected = fuzzy.batch_fuzzy_resolve(names, catalog, threshold, limit, ambiguity)
    assert catalogue.resolve(names, threshold, limit, ambiguity) == expected == [
        resolve(n, catalog, threshold, limit, ambiguity) for n in names]
    for name, e, match in zip(names, catalogue.explain(names, threshold, limit, ambiguity), expected):
        assert e["match"] == match
        ranked = sorted(((fuzzy.jaro_winkler_similarity(name, c), i) for i, c in enumerate(catalog)),
                        key=lambda x: -x[0])
        assert e["candidates"] == [(catalog[i], s) for s, i in ranked[:max(limit, 1)]]
        assert (e["outcome"] == "resolved") == (match is not None)
        if not catalog:
            assert e["outcome"] == "no_candidates"
        elif e["outcome"] == "below_threshold":
            assert ranked[0][0] < threshold
        elif e["outcome"] == "ambiguous":
            assert limit > 1 and abs(ranked[0][0] - ranked[1][0]) < ambiguity
