# Calls as mypy --strict sees them (tests/test_typing.py): a line with an
# "error:" comment must be reported with the code it names; no other line may be.
# Never run: the names only have to type-check.

import numpy as np
import numpy.typing as npt
import pandas as pd
import polars as pl
import pyarrow as pa
import dask.dataframe as dd

from zemo_etl import columns, dask as zdask, text
from zemo_etl.index import Catalogue, LibraryIndex, NameExplanation, ReleaseExplanation

index = LibraryIndex([("Queen", "Flash")], review_floor=0.5)
catalogue = Catalogue(["queen"])
frame = pd.DataFrame({"artist": ["Queen"], "title": ["Flash"]})
lazy = pl.DataFrame({"artist": ["Queen"], "title": ["Flash"]})

# Each kind in, the same kind out.
decisions: list[str] = index.classify(["Queen"], ("Flash",))
series: pd.Series[str] = index.classify(frame["artist"], frame["title"])
pl_series: pl.Series = index.classify(lazy["artist"], lazy["title"])
array: pa.Array[pa.StringScalar] = index.classify(pa.array(["Queen"]), ["Flash"])
chunked: pa.ChunkedArray[pa.StringScalar] = index.classify(pa.chunked_array([["Queen"]]), pa.chunked_array([["Flash"]]))
objects: npt.NDArray[np.object_] = index.classify(np.array(["Queen"], dtype=object), np.array(["Flash"], dtype=object))
matches: list[str | None] = catalogue.resolve(["qeen"], threshold=0.9)
matched: pd.Series[str] = catalogue.resolve(frame["artist"])
pl_matched: pl.Series = catalogue.resolve(lazy["artist"], limit=3)
keys: list[str | None] = columns.apply(text.batch_to_match_form, ["Queen", None])
pd_keys: pd.Series[str] = columns.apply(text.batch_to_match_form, frame["artist"])
pl_keys: pl.Series = columns.apply(columns.FORMS["match"], lazy["artist"])
arrow_keys: pa.ChunkedArray[pa.StringScalar] = columns.apply(text.batch_to_match_form, pa.chunked_array([["a"]]))

# Explain records are typed dicts.
release: ReleaseExplanation = index.explain(["Queen"], ["Flash"])[0]
score: float = release["token_set"]
entry_index, entry_artist, entry_title = release["token_set_entries"][0]
numbers: list[str] = release.get("numbers", [])
name: NameExplanation = catalogue.explain(["qeen"])[0]
best, best_score = name["candidates"][0]

# Dask gives Dask Series.
releases = dd.from_pandas(frame, npartitions=1)
dask_decisions: dd.Series = zdask.classify_releases(releases, index)
dask_matches: dd.Series = zdask.resolve_names(releases["artist"], catalogue, threshold=0.9)
dask_keys: dd.Series = zdask.to_form(releases["artist"], "match")

# Wrong calls.
index.classify("Queen", "Flash")  # error: call-overload
index.classify(1, 2)  # error: call-overload
index.classify(["Queen", None], ["Flash", "Flash"])  # error: list-item
catalogue.resolve("qeen")  # error: call-overload
catalogue.resolve(["qeen"], threshold="0.9")  # error: call-overload
LibraryIndex([("Queen", "Flash")], token_set_keep="0.9")  # error: arg-type
wrong_kind: list[str] = index.classify(frame["artist"], frame["title"])  # error: assignment
wrong_arrow: pa.Array[pa.StringScalar] = index.classify(pa.chunked_array([["Q"]]), ["F"])  # error: arg-type
not_a_key = release["decison"]  # error: typeddict-item
name["match"].upper()  # error: union-attr
matches[0].upper()  # error: union-attr
zdask.resolve_names(releases["artist"], catalogue, threshold="high")  # error: arg-type
columns.apply(text.batch_to_match_form, "Queen")  # error: call-overload
