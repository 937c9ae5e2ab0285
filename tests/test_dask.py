"""The Dask recipe on a two-process LocalCluster, against single-process results."""

import csv

import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

from zemo_etl import cli, columns, fuzzy, parser, text  # noqa: E402
from zemo_etl import dask as zdask  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, env={"ZEMO_ETL_NUM_THREADS": "1"})
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def sample():
    with open(cli.SAMPLE_DATA / "releases.csv", newline="", encoding="utf-8") as f:
        releases = pd.DataFrame(list(csv.DictReader(f)), dtype=object)
    releases.index = releases.index * 3 + 5  # not a plain range: the index must survive
    releases.loc[releases.index[[4, 40]], "title"] = None
    library = parser.load_table_rows(str(cli.SAMPLE_DATA / "library.sql"), "library")
    pairs = [(r[2] or "", r[1] or "") for r in library]
    return releases, pairs


def scattered_on_both_workers(client, n_workers=2):
    return [k for k, holders in client.who_has().items() if len(holders) == n_workers]


def test_classify_equals_one_process(client, sample):
    releases, pairs = sample
    ddf = dd.from_pandas(releases, npartitions=5)
    before = set(scattered_on_both_workers(client))
    result = zdask.classify_releases(ddf, pairs, client=client)
    # The library went to each worker once, before any partition ran.
    assert len(set(scattered_on_both_workers(client)) - before) == 1
    got = result.compute()
    expected = columns.apply(fuzzy.batch_classify_releases, releases["artist"], releases["title"],
                             library_pairs=pairs)
    assert got.index.tolist() == releases.index.tolist()
    assert got.isna().tolist() == expected.isna().tolist()
    assert got.dropna().tolist() == expected.dropna().tolist()
    assert set(got.dropna()) == {"keep", "prune", "review"} and got.isna().sum() == 2


def test_resolve_and_forms_equal_one_process(client, sample):
    releases, pairs = sample
    ddf = dd.from_pandas(releases, npartitions=3)
    catalog = sorted({text.to_match_form(a) for a, _ in pairs})
    keys = zdask.to_form(ddf["artist"], "match")
    got = zdask.resolve_names(keys, catalog, threshold=0.9, client=client).compute()
    expected = fuzzy.batch_fuzzy_resolve(text.batch_to_match_form(releases["artist"].tolist()), catalog, 0.9)
    assert got.index.tolist() == releases.index.tolist()
    assert [None if pd.isna(v) else v for v in got] == expected

    titles = zdask.to_form(ddf["title"], "identity-title").compute()
    assert titles.isna().sum() == 2
    assert titles.dropna().tolist() == [text.to_identity_match_form_title(t) for t in releases["title"].dropna()]
    with pytest.raises(ValueError, match="unknown form 'upper'"):
        zdask.to_form(ddf["title"], "upper")
