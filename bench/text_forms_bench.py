"""Text forms over a column of realistic names.

Against (a) ``batch_to_pg_text_form`` on the same list, the cost of taking the
strings out of Python and making new ones, which no form can avoid; and (b)
the plain Python forms of ``tests/reference/text_forms.py`` built on ``unicodedata``.
"""

from __future__ import annotations

import unicodedata

from harness import Table, median_seconds
from reference import text_forms as ref
from names import generate_names

from zemo_etl import pg, text


def run(quick: bool) -> None:
    n = 20_000 if quick else 200_000
    names = generate_names(n, seed=2026)
    repeat = 3 if quick else 5

    table = Table(f"text forms, {n} names (about 90% ASCII), whole column", per="column")
    table.header()
    floor = median_seconds(lambda: pg.batch_to_pg_text_form(names), repeat=repeat)
    for label, batch, python_form in [
        ("batch_to_storage_form", text.batch_to_storage_form, ref.to_storage_form),
        ("batch_to_match_form", text.batch_to_match_form, ref.to_match_form),
        ("batch_to_ascii_form", text.batch_to_ascii_form,
         ref.to_ascii_form if ref.load_translit() is not None else None),
    ]:
        ours = median_seconds(lambda: batch(names), repeat=repeat)
        table.add(label, ours, "batch_to_pg_text_form (extraction floor)", floor)
        if python_form is not None:
            peer = median_seconds(lambda: [python_form(s) for s in names], repeat=1)
            table.add(label, ours, "plain Python (unicodedata)", peer)

    identity = getattr(text, "to_identity_match_form", None)
    if identity is not None:
        per_call = median_seconds(lambda: [identity(s) for s in names], repeat=repeat)
        match_per_call = median_seconds(lambda: [text.to_match_form(s) for s in names], repeat=repeat)
        table.add("to_identity_match_form, one call per name", per_call,
                  "to_match_form, one call per name", match_per_call)
        table.add("to_identity_match_form, one call per name", per_call,
                  "batch_to_pg_text_form (extraction floor)", floor)

    short = [s for s in names if s.isascii() and len(s) < 24][: n // 10]
    calls = Table(f"to_storage_form on {len(short)} short ASCII names, one call each", per="name")
    calls.header()
    ours = median_seconds(lambda: [text.to_storage_form(s) for s in short], repeat=repeat) / len(short)
    peer = median_seconds(lambda: [unicodedata.normalize("NFC", s).strip(" ") for s in short],
                          repeat=repeat) / len(short)
    calls.add("to_storage_form", ours, 'unicodedata.normalize("NFC", s).strip(" ")', peer)
