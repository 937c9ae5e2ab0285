"""Seed corpora of the libFuzzer targets: small inputs that reach the
interesting paths at once. Writes BUILD/<target>.corpus/seed-*, and adds
the inputs that once failed (fuzz/findings/<target>-*), so every run
replays them first.

    python fuzz/make_corpora.py build/fuzz

The saved-index seeds need the zemo_etl package (its _ext module); without
it that target starts from a few bytes of header only.
"""

from __future__ import annotations

import json
import pathlib
import sys

NAMES = ["The Beatles", "Beatles, The", "Simon & Garfunkel", "Various Artists", "Björk", "AC/DC",
         "Crosby, Stills, Nash & Young", "Earth, Wind & Fire feat. X", "Sigur Rós (2)", "ＡＢＢＡ", "Motörhead /2",
         "Ḑenis; Ørjan", "Soundtrack", "A Tribe Called Quest", "The The", "Ｂｅｙｏｎｃé featuring Jay-Z"]
TITLES = ["Abbey Road", "Abbey Road (Remastered)", "Homogenic", "Back in Black", "Side A/2", "Déjà Vu", "1999"]

LINES = ["(1,'a',2.5,NULL)", "(2,'it''s',-3,0x41,b'101')", "(3,'\\n\\t\\\\','\xc3\xa9',1e308),(4,'x');",
         "(99999999999999999999,-0,.5,'unterminated", "(,),(NULL)", "('caf\\xc3\\xa9',_binary 'x',X'4142')"]


def library_seeds() -> list[bytes]:
    seeds = []
    for k, (names, titles) in enumerate([(NAMES[:3], TITLES[:3]), (NAMES, TITLES), (NAMES[4:6], TITLES[3:5])]):
        fields = []
        for i, name in enumerate(names):
            fields += [name, titles[i % len(titles)]]
        fields += ["the beatles", "abbey road", "bjork", "homogenic remix", NAMES[-1], "1999"]
        # thresholds (five bytes), library size, then the fields
        seeds.append(bytes([16, 16, 16, 14, 8, len(names)]) + "\n".join(fields).encode())
    return seeds


def saved_index_seeds() -> list[bytes]:
    try:
        from zemo_etl.index import LibraryIndex
    except ImportError:
        return [b"ZEMOLIX\0"]
    out = []
    for n in (1, 3, len(NAMES)):
        pairs = [(NAMES[i], TITLES[i % len(TITLES)]) for i in range(n)]
        out.append(LibraryIndex(pairs).to_bytes())
    out.append(LibraryIndex([]).to_bytes())
    return out


def state_seeds() -> list[bytes]:
    steps = {"extract": {"status": "completed"}, "load": {"status": "failed", "error": "boom"}}
    docs = [{"version": 3, "run_id": "r1", "steps": steps}, {"version": 1, "steps": {"a": "done"}},
            {"version": 2, "db": "x", "steps": {}}, []]
    return [json.dumps(d).encode() for d in docs] + [b"{", b'{"version": 9}']


FINDINGS = pathlib.Path(__file__).with_name("findings")

CORPORA = {
    "fuzzy_classify_fuzz": library_seeds,
    "fuzzy_library_file_fuzz": saved_index_seeds,
    # limit, threshold and gap bytes, then the name and the catalogue
    "fuzzy_resolve_fuzz": lambda: [bytes([2, 16, 2]) + "\n".join(["radiohed"] + NAMES).encode(),
                                   bytes([1, 0, 1]) + "\n".join(["abc", "abd", "abe", "xyz"]).encode()],
    "text_split_fuzz": lambda: ["\n".join(NAMES[i:i + 4]).encode() for i in range(0, len(NAMES), 4)],
    "text_forms_fuzz": lambda: [n.encode() for n in NAMES],
    "parser_dump_file_fuzz": lambda: [b"\x02" + "\n".join(LINES).encode(), b"\x00(1)\n-- x\n(2);"],
    "parser_values_fuzz": lambda: [line.encode() for line in LINES],
    "state_load_fuzz": state_seeds,
    # names from the front, then the choices of the lies from the back
    "fuzzy_saved_files_structure_fuzz": lambda: [" ".join(NAMES[k:k + 4]).encode() + bytes([k, 30 * k, 3, k % 2])
                                                 for k in range(8)],
    "fuzzy_metrics_fuzz": lambda: ["\n".join(NAMES[i:i + 2]).encode() for i in range(0, len(NAMES), 2)],
}


def main(build: str) -> None:
    for target, make in CORPORA.items():
        corpus = pathlib.Path(build) / f"{target}.corpus"
        corpus.mkdir(parents=True, exist_ok=True)
        for i, seed in enumerate(make()):
            (corpus / f"seed-{i}").write_bytes(seed)
        for finding in FINDINGS.glob(f"{target}-*"):
            (corpus / finding.name).write_bytes(finding.read_bytes())


if __name__ == "__main__":
    main(sys.argv[1])
