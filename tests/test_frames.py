"""The `zemo` pandas accessor and polars expression namespace of zemo_etl.frames."""

import csv
import subprocess
import sys
from importlib.resources import files

import pytest

from zemo_etl import columns, fuzzy, parser
from zemo_etl.index import Catalogue, LibraryIndex

SAMPLE = files("zemo_etl") / "sample_data"


@pytest.fixture(scope="module")
def sample():
    """The sample's releases (artist, title; some of them null) and a library index and catalogue of its library."""
    pairs = [(str(a or ""), str(t or "")) for _, t, a, *_ in parser.load_table_rows(str(SAMPLE / "library.sql"),
                                                                                    "library")]
    with open(str(SAMPLE / "releases.csv"), newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))[:1200]
    artists = [None if k % 97 == 3 else r["artist"] for k, r in enumerate(rows)]
    titles = [None if k % 89 == 5 else r["title"] for k, r in enumerate(rows)]
    keys = columns.FORMS["match"](sorted({a for a, _ in pairs}))
    return artists, titles, pairs, LibraryIndex(pairs), Catalogue(keys)


@pytest.mark.parametrize("dtype", ["object", "string", "category"])
def test_pandas_accessor_equals_columns_apply(sample, dtype):
    pd = pytest.importorskip("pandas")
    import zemo_etl.frames  # noqa: F401

    artists, titles, pairs, index, catalogue = sample
    n = len(artists)
    df = pd.DataFrame({"artist": artists, "title": titles}, index=range(3 * n, 0, -3)).astype(dtype)
    keys = df["artist"].zemo.to_form("match")
    assert keys.name == "artist" and keys.index.equals(df.index)
    assert columns.to_list(keys) == columns.apply(columns.FORMS["match"], artists)
    for got in (df.zemo.classify(index), df.zemo.classify(pairs)):
        assert got.name == "decision" and got.index.equals(df.index)
        assert columns.to_list(got) == columns.apply(fuzzy.batch_classify_releases, artists, titles,
                                                     library_pairs=pairs)
    matched = df.assign(key=keys).zemo.resolve(catalogue, column="key", threshold=0.9)
    assert matched.name == "match" and matched.index.equals(df.index)
    assert columns.to_list(matched) == columns.apply(catalogue.resolve, columns.to_list(keys), threshold=0.9)
    assert df.zemo.to_form("title", "ascii").equals(columns.apply(columns.FORMS["ascii"], df["title"]))
    with pytest.raises(ValueError, match="unknown form 'upper'"):
        df["artist"].zemo.to_form("upper")


@pytest.mark.parametrize("engine", ["eager", "lazy", "streaming"])
@pytest.mark.parametrize("dtype", ["String", "Categorical"])
def test_polars_namespace_equals_columns_apply(sample, engine, dtype):
    pl = pytest.importorskip("polars")
    import zemo_etl.frames  # noqa: F401

    artists, titles, pairs, index, catalogue = sample
    frame = pl.DataFrame({"artist": artists, "title": titles}, schema={"artist": getattr(pl, dtype), "title": pl.String})
    plan = frame.lazy().with_columns(pl.col("artist").zemo.to_form("match").alias("key"),
                                     pl.col("artist").zemo.classify("title", index),
                                     pl.col("artist").zemo.to_form(columns.FORMS["match"]).zemo.resolve(catalogue))
    # The plan knows its columns and their types before it runs; artist is not replaced.
    assert dict(plan.collect_schema()) == {"artist": getattr(pl, dtype), "title": pl.String, "key": pl.String,
                                           "decision": pl.String, "match": pl.String}
    if engine == "eager":
        out = frame.with_columns(pl.col("artist").zemo.to_form("match").alias("key"),
                                 pl.col("artist").zemo.classify(pl.col("title"), pairs),
                                 pl.col("artist").zemo.to_form("match").zemo.resolve(catalogue))
    else:
        out = plan.collect(**({"engine": "streaming"} if engine == "streaming" else {}))
    keys = columns.apply(columns.FORMS["match"], artists)
    assert out["artist"].cast(pl.String).to_list() == artists
    assert out["key"].to_list() == keys
    assert out["decision"].to_list() == columns.apply(fuzzy.batch_classify_releases, artists, titles,
                                                      library_pairs=pairs)
    assert out["match"].to_list() == columns.apply(catalogue.resolve, keys)


def test_polars_resolve_checks_its_options_when_the_expression_is_made():
    pl = pytest.importorskip("polars")
    import zemo_etl.frames  # noqa: F401

    with pytest.raises(ValueError, match=r"^threshold must be a number in \[0, 1\], got 1\.5$"):
        pl.col("artist").zemo.resolve(["a"], threshold=1.5)


def test_import_registers_nothing_of_what_is_absent():
    # pandas and polars made unimportable: the module imports, and registers on neither.
    code = ("import sys\n"
            "sys.modules['pandas'] = sys.modules['polars'] = None\n"
            "import zemo_etl.frames\n"
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('pandas', 'polars') and sys.modules[m]))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, "[]"), done.stderr
