"""Loading a dump whose table sits on one huge line holds the parsed rows and
their Python objects, not the line as well (nor copies of its values)."""

from __future__ import annotations

import subprocess
import sys
import textwrap


def test_one_line_of_300_mb_peaks_at_rows_plus_objects(tmp_path):
    half = 150 * 2**20
    path = tmp_path / "long.sql"
    with open(path, "w") as f:
        f.write("-- one statement, two rows, on one line\nINSERT INTO `t` VALUES (1,'")
        for ch in "ab":
            f.write(ch * half)
            f.write("'),(2,'" if ch == "a" else "');\n")
    script = textwrap.dedent("""
        import resource, sys
        from zemo_etl import parser
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        rows = parser.load_table_rows(sys.argv[1], "t")
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        ok = [(r[0], len(r[1]), r[1][:1], r[1][-1:]) for r in rows] == [(1, %d, "a", "a"), (2, %d, "b", "b")]
        print(ok, (peak - before) / 1024)
    """ % (half, half))
    try:
        done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True, timeout=300)
    finally:
        path.unlink()
    ok, grown_mb = done.stdout.split()
    assert ok == "True", done.stderr
    # The rows (300 MB) and their str objects (300 MB); before the fix the
    # line's pages and a copy of each value came on top (about 900 MB).
    assert float(grown_mb) < 2 * 300 + 40, grown_mb
