"""The review page at 50,000 releases (5,000 with --quick): its size, and in
headless Chromium the time from navigation to a ready page, and the time of
a filter, a sort and a search over all rows; then the size and load time
of a page of 1,000,000 releases made of those rows repeated.

The rows are the explained decisions of generated releases against a
generated library of the same size, as `zemo-etl demo --scale N` makes them.
With `--job FOLDER` (any number), instead the page of each finished job
folder (`zemo-etl demo --scale 1000000 --workdir FOLDER`), made again from
its database beside it (review-again.html): the CPU time that takes, its
size and what the bytes are, and its load time.
Needs Chromium, its driver and selenium; skipped otherwise.
"""

from __future__ import annotations

import csv
import json
import pathlib
import re
import shutil
import sys
import tempfile
import time

from zemo_etl import _demo_data, parser, schema, stores, text
from zemo_etl.job.page import page_row, render_page
from zemo_etl.job.decisions import Evidence
from zemo_etl.job.pipeline import Pipeline
from zemo_etl.index import DEFAULT_THRESHOLDS, LibraryIndex


def _page(n: int, folder: pathlib.Path) -> tuple[pathlib.Path, list[list[object]]]:
    dump, releases = folder / "library.sql", folder / "releases.csv"
    _demo_data.generate(str(dump), str(releases), n, n)
    library = [(r[2] or "", r[1] or "") for r in parser.load_table_rows(str(dump), schema.LIBRARY_TABLE)]
    with open(releases, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))[1:]
    artists, titles = [r[0] for r in rows], [r[1] for r in rows]
    explained = LibraryIndex(library).explain(artists, titles)
    page_rows = [page_row(a, t, ma, mt, e["decision"], Evidence.of(e)) for a, t, ma, mt, e in zip(
        artists, titles, text.batch_to_match_form(artists), text.batch_to_match_form(titles), explained)]
    page = folder / "review.html"
    page.write_text(render_page(page_rows, DEFAULT_THRESHOLDS, str(releases)), encoding="utf-8")
    return page, page_rows


def _load_times(driver, page: pathlib.Path) -> list[float]:
    """Seconds from navigation to a ready page, three times."""
    loads = []
    for _ in range(3):
        started = time.perf_counter()
        driver.get(page.as_uri())
        assert driver.execute_script("return document.body.dataset.ready") == "true"
        loads.append(time.perf_counter() - started)
    return loads


def _browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,800"):
        options.add_argument(arg)
    options.binary_location = shutil.which("chromium") or ""
    return webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))


def _timed(driver, script: str) -> float:
    """Milliseconds the page takes for `script` (an event that re-selects the rows)."""
    return driver.execute_script(f"const t = performance.now(); {script}; return performance.now() - t;")


def _missing() -> str:
    """What the benchmark lacks to run, or nothing."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed"
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        return "Chromium or its driver is not installed"
    return ""


def run(quick: bool) -> None:
    n = 5_000 if quick else 50_000
    with tempfile.TemporaryDirectory() as tmp:
        page, rows = _page(n, pathlib.Path(tmp))
        size = page.stat().st_size
        # A page of a million releases: these rows over and over (explaining a million takes too long here).
        big = pathlib.Path(tmp) / "big.html"
        started = time.process_time()
        big.write_text(render_page((rows * (1_000_000 // n))[:1_000_000], DEFAULT_THRESHOLDS), encoding="utf-8")
        render = time.process_time() - started
        big_size = big.stat().st_size
        driver = _browser()
        try:
            big_loads = _load_times(driver, big)
            loads = _load_times(driver, page)
            change = "e.dispatchEvent(new Event('change'))"
            filt = _timed(driver, f"const e = document.getElementById('filter-keep'); e.checked = true; {change}")
            sort = _timed(driver, "document.querySelector('button[data-sort=s1]').click()")
            search = _timed(driver, f"const e = document.getElementById('search'); e.value = 'live'; {change}")
        finally:
            driver.quit()
    print(f"review page, {n:,} releases: {size / 2**20:.1f} MiB ({size / n:.0f} bytes a release)")
    print(f"    load to ready     {sorted(loads)[1] * 1000:8.0f} ms (median of 3)")
    print(f"    filter keep+review {filt:7.0f} ms")
    print(f"    sort by token set {sort:8.0f} ms")
    print(f"    search            {search:8.0f} ms")
    print(f"review page, 1,000,000 releases (the rows above repeated): {big_size / 2**20:.1f} MiB, "
          f"made in {render:.1f} s CPU; load to ready {sorted(big_loads)[1]:.2f} s (median of 3; goal: 50 MB, 3 s)")


def _job_page(folder: pathlib.Path) -> tuple[pathlib.Path, float]:
    """The page of a finished job folder made again from its tables, and the CPU seconds that took."""
    job = Pipeline(folder / "input" / "library.sql", folder / "input" / "releases.csv", folder)
    job.store = stores.open_store(job.db_url)
    with job.store:
        started = time.process_time()
        made = render_page(job._page_rows(), job.thresholds, job.releases.name, job.distinct_numbers, rules=job.rules)
        spent = time.process_time() - started
    page = folder / "review-again.html"
    page.write_text(made, encoding="utf-8")
    return page, spent


def _breakdown(page: pathlib.Path) -> str:
    """What the page's bytes are: the records, the listed rows, the library forms, and the rest."""
    whole = page.read_text(encoding="utf-8")
    data = json.loads(re.search(r'<script type="application/json" id="data">(.*?)</script>', whole, re.S).group(1))
    parts = {"records": len(data["records"]),
             "rows": sum(len(json.dumps(r, ensure_ascii=False, separators=(",", ":")).encode()) + 1
                         for r in data["rows"]),
             "strings": len(json.dumps(data["strings"], ensure_ascii=False, separators=(",", ":")).encode())}
    parts["script, style, rest"] = len(whole.encode()) - sum(parts.values())
    return ", ".join(f"{name} {size / 1e6:.1f} MB" for name, size in parts.items()) + (
        f" ({len(data['rows']):,} rows listed, {len(data['rows']) + data['unlisted']:,} releases)")


def run_jobs(folders: list[pathlib.Path]) -> None:
    driver = _browser()
    try:
        for folder in folders:
            page, spent = _job_page(folder)
            loads = _load_times(driver, page)
            size = page.stat().st_size
            print(f"review page of {folder}: {size / 1e6:.1f} MB, made in {spent:.1f} s CPU; load to ready "
                  f"{sorted(loads)[1]:.2f} s (median of 3; goal at 1M releases: 50 MB, 3 s)")
            print(f"    {_breakdown(page)}")
    finally:
        driver.quit()


if __name__ == "__main__":
    if _missing():
        print(f"review page: skipped ({_missing()})")
    elif "--job" in sys.argv:
        run_jobs([pathlib.Path(sys.argv[k + 1]) for k, arg in enumerate(sys.argv) if arg == "--job"])
    else:
        run("--quick" in sys.argv)
