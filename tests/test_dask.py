"""The Dask recipe on a two-process LocalCluster, against single-process results."""

import csv

import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

from zemo_etl import columns, fuzzy, job, parser, text  # noqa: E402
from zemo_etl import dask as zdask  # noqa: E402
from zemo_etl.index import Catalogue  # noqa: E402
from dask.core import get_dependencies  # noqa: E402


def single_process(releases, pairs, catalog):
    # Decisions, resolved names and match forms of the whole frame at once.
    keys = columns.apply(text.batch_to_match_form, releases["artist"])
    return (columns.apply(fuzzy.batch_classify_releases, releases["artist"], releases["title"], library_pairs=pairs),
            columns.apply(fuzzy.batch_fuzzy_resolve, keys, catalog=catalog, threshold=0.9), keys)


def assert_same(got, expected):
    assert got.index.equals(expected.index)
    assert got.isna().tolist() == expected.isna().tolist() and got.dropna().tolist() == expected.dropna().tolist()


@pytest.fixture(scope="module")
def sample():
    with open(job.SAMPLE_DATA / "releases.csv", newline="", encoding="utf-8") as f:
        releases = pd.DataFrame(list(csv.DictReader(f)), dtype=object)
    releases.index = releases.index * 3 + 5  # not a plain range: the index must survive
    releases.loc[releases.index[[4, 40]], "title"] = None
    library = parser.load_table_rows(str(job.SAMPLE_DATA / "library.sql"), "library")
    pairs = [(r[2] or "", r[1] or "") for r in library]
    return releases, pairs, sorted({text.to_match_form(a) for a, _ in pairs})


@pytest.mark.parametrize("scheduler", ["synchronous", "threads", "processes"])
def test_any_scheduler_without_a_client(scheduler, sample):
    # Runs before the module's cluster exists: with no client nothing is scattered.
    assert zdask._current_client() is None
    releases, pairs, catalog = sample
    ddf = dd.from_pandas(releases, npartitions=7)  # more partitions than workers
    decisions = zdask.classify_releases(ddf, pairs)
    graph = dict(decisions.__dask_graph__())
    [shared] = [k for k in graph if str(k).startswith("('zemo-libraryindex")]
    partitions = [k for k in graph if str(k).startswith("('_classify_partition")]
    assert len(partitions) == 7 and all(shared in get_dependencies(graph, k) for k in partitions)
    keys = zdask.to_form(ddf["artist"], text.batch_to_match_form)
    got = dask.compute(decisions, zdask.resolve_names(keys, catalog, threshold=0.9), keys,
                       scheduler=scheduler, num_workers=2)
    for g, e in zip(got, single_process(releases, pairs, catalog)):
        assert_same(g, e)
    assert [g.name for g in got] == ["decision", "match", "artist"]


def test_the_former_catalog_keyword_still_resolves(sample):
    releases, _, catalog = sample
    keys = zdask.to_form(dd.from_pandas(releases, npartitions=3)["artist"], "match")
    with pytest.warns(DeprecationWarning, match="catalogue="):
        former = zdask.resolve_names(keys, catalog=catalog, threshold=0.9)
    assert_same(former.compute(scheduler="synchronous"),
                zdask.resolve_names(keys, catalog, threshold=0.9).compute(scheduler="synchronous"))
    with pytest.raises(TypeError, match="both catalogue and catalog"):
        zdask.resolve_names(keys, catalog, catalog=catalog)


@pytest.mark.parametrize("version, refused", [("2024.8.0", True), ("2025.4.1", True), ("2025.5.0", False),
                                               ("2025.10.0", False), ("2026.11.0rc1", False)])
def test_a_dask_that_passes_delayed_arguments_unresolved_is_refused(monkeypatch, sample, version, refused):
    # Before 2025.5 a partition would get the Delayed itself instead of the library index.
    monkeypatch.setattr(dask, "__version__", version)
    ddf = dd.from_pandas(sample[0], npartitions=2)
    if refused:
        with pytest.raises(RuntimeError, match=f"needs dask 2025.5 or newer \\(found {version};"):
            zdask.classify_releases(ddf, sample[1])
    else:
        zdask.classify_releases(ddf, sample[1])


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, env={"ZEMO_ETL_NUM_THREADS": "1"})
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def scattered_on_both_workers(client):
    return {k for k, holders in client.who_has().items() if len(holders) == 2}


def test_a_cluster_gives_one_process_results(client, sample):
    releases, pairs, catalog = sample
    ddf = dd.from_pandas(releases, npartitions=5)
    before = scattered_on_both_workers(client)
    decisions = zdask.classify_releases(ddf, pairs, client=client)
    # The library went to each worker once, before any partition ran.
    assert len(scattered_on_both_workers(client) - before) == 1
    keys = zdask.to_form(ddf["artist"], "match")
    got = dask.compute(decisions, zdask.resolve_names(keys, catalog, threshold=0.9, client=client), keys)
    for g, e in zip(got, single_process(releases, pairs, catalog)):
        assert_same(g, e)
    assert set(got[0].dropna()) == {"keep", "prune", "review"} and got[0].isna().sum() == 2
    # A catalogue prepared (or loaded) beforehand is shipped as it is.
    assert_same(zdask.resolve_names(keys, Catalogue(catalog), threshold=0.9, client=client).compute(), got[1])
    # A batch function goes into the graph by reference, as pickle names it.
    ascii_keys = zdask.to_form(ddf["artist"], text.batch_to_ascii_form).compute()
    assert ascii_keys.tolist() == text.batch_to_ascii_form(releases["artist"].tolist())
    titles = zdask.to_form(ddf["title"], "identity-title").compute()
    assert_same(titles, releases["title"].map(lambda t: t and text.to_identity_match_form_title(t)))
    with pytest.raises(ValueError, match="unknown form 'upper'"):
        zdask.to_form(ddf["title"], "upper")
