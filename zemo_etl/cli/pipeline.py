"""The pipeline's main job: classify incoming releases against the library.

    zemo-etl demo                      # the bundled sample data, into ./zemo-etl-demo
    zemo-etl demo --scale 20000        # 20,000 generated library rows and releases, timed
    zemo-etl run --dump library.sql --releases releases.csv --workdir out [--db-url URL]

Steps (resumable: a run that stops part-way continues from the first step
not completed, with the state kept in WORKDIR/state.json; after Ctrl-C,
wherever it came, that step is marked failed with the error "interrupted",
which `zemo-etl state show` prints). Each completed step's fingerprint (the
content of the files and the options it read, and the steps before it) is
kept in WORKDIR/inputs.json: a run re-does the first step whose inputs
changed and every step after it, saying which and why, and skips the rest
(next week's releases: from dedupe_releases; another --decisions file: from
classify). Only one run at a time uses a work folder. Both inputs are
checked before the first step starts.

1. load_library    the `library` table out of the MySQL dump, in storage form
2. dedupe_releases the releases CSV, in storage form, duplicates dropped
3. classify        each release keep / prune / review against the library
4. resolve_artists each release artist against the library's artists
5. write_report    WORKDIR/releases_classified.csv, WORKDIR/review.html and a summary

The classifier's thresholds are options (defaults as the library's);
--decisions FILE (a review page's export: artist,title,decision) overrides
the computed decision of the releases it names, matched by match form.
The review page needs every score of every release, which costs several
times the CPU of the decisions alone: --no-review-page skips it.

The library, the releases and the decisions live in a database: by default
the SQLite file WORKDIR/library.db, or PostgreSQL with --db-url
postgresql://... (pip install 'zemo-etl[postgres]'). Each step replaces its
tables in one transaction. A run resumes only against the database it
started with.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import io
import itertools
import json
import os
import pathlib
import sys
import time
from collections import Counter
from collections.abc import Iterator
from typing import Any, Optional

from zemo_etl import _demo_data, pg, safety, schema, state, stores, text
from zemo_etl.cli import review
from zemo_etl.cli import state as state_command
from zemo_etl.cli import workdir as workdir_record
from zemo_etl.cli.common import (CLASSIFY_CHUNK, EXIT_FAILED, CommandError, CsvInput, Dialect, Progress, UserError,
                                 add_columns, add_command, add_input_options, add_output_options,
                                 add_threshold_options, check_folder, csv_writer, describe_thresholds, library_index,
                                 open_text, output_dialect, refuse_overwriting_inputs, require_file,
                                 resolve_in_chunks, threshold_option, thresholds_from)
from zemo_etl.cli.rows import add_allow_incomplete, add_library_options, library_names, library_records
from zemo_etl.index import DEFAULT_RESOLVE_THRESHOLD, DEFAULT_THRESHOLDS
from zemo_etl.safety import atomic_write, inert, redact_url, scrub, url_secrets

REPORT = "releases_classified.csv"  # in the work folder
DUPLICATES = "duplicates.csv"  # in the work folder: the releases dropped as duplicates
STEPS = ["load_library", "dedupe_releases", "classify", "resolve_artists", "write_report"]
INTERRUPTED = "interrupted"  # the error of the step a Ctrl-C stopped the run at
SAMPLE_DATA = pathlib.Path(__file__).resolve().parent.parent / "sample_data"

# The job's own tables beside `library`, keyed by the release's place in the
# deduplicated input.
RELEASES_TABLE = "incoming_releases"
DECISIONS_TABLE = "release_decisions"
MATCHES_TABLE = "artist_matches"
# LibraryIndex.explain's evidence of each decision (review.explain_fields as JSON), for the review page.
EVIDENCE_TABLE = "release_evidence"
# The releases CSV's header, for the report; role: "artist" and "title" for
# the columns the job read them from.
RELEASE_COLUMNS_TABLE = "incoming_release_columns"
# What each step reads beyond what the steps before it made (file and option
# names as in WORKDIR/inputs.json).
STEP_READS = [
    ("load_library", ["--dump", "--table", "--library-artist-column", "--library-title-column"]),
    ("dedupe_releases", ["--releases", "--encoding", "--delimiter", "--artist-column", "--title-column",
                         "--csv-safe", "--output-dialect"]),
    ("classify", [*map(threshold_option, DEFAULT_THRESHOLDS), "--distinct-numbers", "--decisions",
                  "--no-review-page"]),
    ("resolve_artists", []),
    ("write_report", ["--csv-safe", "--output-dialect", "--no-review-page"]),
]
assert [step for step, _ in STEP_READS] == STEPS
# Options added since a record could be written, as a record without them
# means them: the steps it completed ran so.
ADDED_OPTIONS = {"--output-dialect": "input", "--table": schema.LIBRARY_TABLE, "--library-artist-column": "artist",
                 "--library-title-column": "title"}
JOB_TABLES = {
    # fields: the release's whole input row, a JSON array in the header's order
    RELEASES_TABLE: ["seq INTEGER PRIMARY KEY", "artist TEXT", "title TEXT", "fields TEXT"],
    RELEASE_COLUMNS_TABLE: ["position INTEGER PRIMARY KEY", "name TEXT", "role TEXT"],
    DECISIONS_TABLE: ["seq INTEGER PRIMARY KEY", "decision TEXT NOT NULL"],
    MATCHES_TABLE: ["seq INTEGER PRIMARY KEY", "library_artist TEXT"],
    EVIDENCE_TABLE: ["seq INTEGER PRIMARY KEY", "evidence TEXT"],
}


class Pipeline:
    """The job over one dump, one releases CSV and one work folder.
    `csv_safe`: the report's text cells never start a spreadsheet formula;
    `allow_shared_folder`: a work folder other users can change is used
    (with a warning) rather than refused; `encoding`, `delimiter`,
    `artist_column`, `title_column`: how the releases CSV is read (as
    `classify` reads it); `thresholds` (default the library's) and
    `distinct_numbers`: how releases are classified; `decisions`: a
    decisions file whose choices override the computed decisions;
    `review_page`: whether the classify step gathers the evidence that
    write_report shows in WORKDIR/review.html."""

    allow_incomplete = False  # a dump cut short is read up to the cut (with a warning)

    def __init__(self, dump: pathlib.Path, releases: pathlib.Path, workdir: pathlib.Path,
                 db_url: Optional[str] = None, *, csv_safe: bool = False, allow_shared_folder: bool = False,
                 encoding: str = "utf-8", delimiter: Optional[str] = None,
                 artist_column: str = "artist", title_column: str = "title",
                 thresholds: Optional[dict[str, float]] = None, distinct_numbers: bool = False,
                 decisions: Optional[pathlib.Path] = None, review_page: bool = True,
                 output_dialect: str = "input", table: str = schema.LIBRARY_TABLE,
                 library_columns: Optional[dict[str, str]] = None) -> None:
        self.dump, self.releases, self.workdir = dump, releases, workdir
        self.csv_safe, self.allow_shared_folder = csv_safe, allow_shared_folder
        self.encoding, self.delimiter = encoding, delimiter
        self.artist_column, self.title_column = artist_column, title_column
        self.thresholds = dict(DEFAULT_THRESHOLDS, **(thresholds or {}))
        self.distinct_numbers, self.decisions = distinct_numbers, decisions
        self.review_page, self.output_dialect = review_page, output_dialect
        # Where the library is in the dump: its table, and its names of the artist and title columns.
        self.table = table
        self.library_columns = library_columns or {"artist": "artist", "title": "title"}
        self.state_path = workdir / "state.json"
        self.db_url = state_command.resolve_db_url(db_url or "sqlite:///" + str(workdir / "library.db"))
        self.csv_dir = str(releases.resolve().parent)
        self.store: stores.Store
        self.timings: dict[str, float] = {}
        self._lock_depth = 0

    def options(self) -> dict[str, Any]:
        """The options that change what the run computes, by their names, as
        they take effect (the delimiter found in the header once it is read)."""
        return {"--encoding": codecs.lookup(self.encoding).name, "--delimiter": self.delimiter,
                "--artist-column": self.artist_column, "--title-column": self.title_column,
                "--csv-safe": self.csv_safe, "--output-dialect": self.output_dialect, "--table": self.table,
                "--library-artist-column": self.library_columns["artist"],
                "--library-title-column": self.library_columns["title"],
                **{threshold_option(name): value for name, value in self.thresholds.items()},
                "--distinct-numbers": self.distinct_numbers, "--decisions": self.decisions is not None,
                "--no-review-page": not self.review_page}

    def files(self) -> dict[str, pathlib.Path]:
        """The input files, by their options."""
        files = {"--dump": self.dump, "--releases": self.releases}
        if self.decisions is not None:
            files["--decisions"] = self.decisions
        return files

    def check_inputs(self) -> None:
        """Each input a regular file we can read, the releases a well-formed
        CSV with the columns we need: refused (UserError) before any step
        starts, rather than after the dump is loaded."""
        require_file(str(self.dump))
        if self.decisions is not None:
            review.read_decisions(str(self.decisions), self.encoding)
        table = self._releases_csv()
        with table.stream:
            for _ in table.rows():
                pass
        self.delimiter = table.delimiter

    def _releases_csv(self) -> CsvInput:
        stream = open_text(str(self.releases), encoding=self.encoding)
        try:
            return CsvInput(stream, required=[self.artist_column, self.title_column], delimiter=self.delimiter)
        except BaseException:
            stream.close()
            raise

    def prepare_workdir(self) -> None:
        """The work folder, made if need be and checked as a place to write (UserError)."""
        try:
            self.workdir.mkdir(parents=True, exist_ok=True)
        except FileExistsError:
            raise UserError(f"{inert(self.workdir)}: not a folder (--workdir)") from None
        except OSError as e:
            raise UserError(f"{inert(self.workdir)}: cannot make the folder: {e.strerror}") from None
        check_folder(self.workdir, self.allow_shared_folder)

    @contextlib.contextmanager
    def locked(self) -> Iterator[None]:
        """The work folder held for this run alone (UserError naming the pid
        of another run that holds it); nested uses share one lock."""
        if self._lock_depth:
            self._lock_depth += 1
            try:
                yield
            finally:
                self._lock_depth -= 1
            return
        self.prepare_workdir()
        with workdir_record.locked(self.workdir):
            self._lock_depth = 1
            try:
                yield
            finally:
                self._lock_depth = 0

    def _plan(self, st: state.PipelineState) -> state.PipelineState:
        """The state this run starts from: the completed steps up to the first
        whose inputs changed (said, with why), the record of these inputs
        saved with the fingerprints of those steps."""
        record = workdir_record.identify(self.files(), self.options())
        completed = {step for step in STEPS if st.is_completed(step)}
        before = workdir_record.load(self.workdir, STEP_READS, completed, ADDED_OPTIONS) if completed else None
        found = workdir_record.first_changed(before, record, STEP_READS, completed)
        kept = STEPS[:STEPS.index(found[0])] if found is not None else STEPS
        if found is not None and found[1] is not None:
            after = " and the steps after it" if found[0] != STEPS[-1] else ""
            print(f"[redo] {found[0]}{after}: {inert(found[1])}")
            st = _rebuilt(self._state_url, self.csv_dir, kept)
            self._save(st)
        self._fingerprints = workdir_record.fingerprints(record, STEP_READS)
        self._record = dict(record, steps={step: self._fingerprints[step] for step in kept})
        workdir_record.save(self.workdir, self._record)
        return st

    def _load_or_create_state(self) -> state.PipelineState:
        """The state to resume, or a new one. The state holds the URL without
        its password, and a resume compares it so: the same database with
        another password is the same run. UserError when it cannot resume."""
        self._state_url = redact_url(self.db_url)
        if not os.path.lexists(self.state_path):
            return state.PipelineState(self._state_url, self.csv_dir, STEPS)
        st, doc = state_command.load(str(self.state_path))
        stored = str(doc.get("database_url"))
        self._state_url = redact_url(stored)
        try:
            # The CSV's folder is not checked: the releases' content is, by
            # their step's fingerprint.
            st.validate_resume(state_command.resume_url(doc, self.db_url), str(doc.get("csv_dir")))
        except ValueError as e:
            reason = scrub(str(e), url_secrets(stored) + url_secrets(self.db_url))
            raise UserError(f"cannot resume: {reason} (--fresh starts over)") from None
        if stored != redact_url(stored) or doc.get("csv_dir") != self.csv_dir:
            # Written before URLs were stored redacted (the password goes
            # now), or releases read from another folder.
            st = _with_url(st, doc, redact_url(stored), self.csv_dir)
            self._save(st)
        return st

    def _replace(self, table: str, ddl: str, columns: list[str], rows: Any) -> None:
        # A step's table in one transaction: a failed step leaves the old one.
        with self.store.transaction():
            self._fill(table, ddl, columns, rows)

    def _fill(self, table: str, ddl: str, columns: list[str], rows: Any) -> None:
        if self.store.table_exists(table):
            self.store.clear(table)
        else:
            self.store.execute(ddl)
        self.store.insert_rows(table, columns, rows)

    def _replace_job_table(self, table: str, rows: Any) -> None:
        self._replace_job_tables({table: rows})

    def _replace_job_tables(self, tables: dict[str, Any]) -> None:
        with self.store.transaction():
            for table, rows in tables.items():
                definitions = JOB_TABLES[table]
                self._fill(table, f"CREATE TABLE {table} ({', '.join(definitions)})",
                           [d.split()[0] for d in definitions], rows)

    def run(self, fresh: bool = False) -> int:
        """The steps not completed yet (all of them with `fresh`): 0 when all
        are done, 1 when one failed. UserError when an input, the work folder,
        the state or the database is unusable, when another run holds the
        folder, or when the state to resume is of other inputs;
        KeyboardInterrupt passes through, recorded in the state."""
        self.check_inputs()
        with self.locked():
            if fresh and os.path.lexists(self.state_path):
                os.remove(self.state_path)
            return self._run_loaded()

    def _run_loaded(self) -> int:
        st = self._plan(self._load_or_create_state())
        try:
            self.store = stores.open_store(self.db_url)
        except stores.StoreError as e:
            raise UserError(str(e)) from None
        with self.store:
            return self._run_steps(st)

    def _save(self, st: state.PipelineState) -> None:
        st.save(str(self.state_path))

    def _run_steps(self, st: state.PipelineState) -> int:
        failed = None
        try:
            for step in STEPS:
                if st.is_completed(step):
                    print(f"[skip] {step}: completed in an earlier run")
                    continue
                started = time.monotonic()
                # A step's lines are printed once it is recorded completed: a
                # reader gone away (`| head`) or a full disk ends the command,
                # it fails no step.
                said = io.StringIO()
                try:
                    with contextlib.redirect_stdout(said):
                        getattr(self, step)()
                except Exception as e:
                    failed = step
                    status = e.status if isinstance(e, CommandError) else EXIT_FAILED
                    # A driver's error may quote the URL's password.
                    error = scrub(str(e), url_secrets(self.db_url))
                    st.mark_failed(step, f"{type(e).__name__}: {error}")
                    self._save(st)
                    print(f"[fail] {step}: {inert(error)}", file=sys.stderr)
                    return status
                self.timings[step] = time.monotonic() - started
                # What the step read is recorded first: a state that says
                # completed always has it. A step's tables are committed when
                # it returns: from here on it counts as completed, saved or not.
                self._record["steps"][step] = self._fingerprints[step]
                workdir_record.save(self.workdir, self._record)
                st.mark_completed(step)
                self._save(st)
                sys.stdout.write(said.getvalue())
        except KeyboardInterrupt:
            # Wherever Ctrl-C lands (in a step, in the save after one, between
            # two) the first step not completed is marked interrupted and the
            # state saved again, so that the file says where the next run
            # starts and why. A step that failed of itself keeps its error.
            pending = next((s for s in STEPS if not st.is_completed(s)), None)
            if pending is not None and pending != failed:
                st.mark_failed(pending, INTERRUPTED)
            self._save(st)
            raise
        return 0

    def load_library(self) -> None:
        columns = schema.library_columns()
        stored = [columns.index(key) for key in ("title", "artist", "alternate_artist_name")]
        artist = columns.index("artist")
        counts: Counter[str] = Counter()
        safety.require_regular_file(self.dump)
        # Read up to the first chunk here, so that a dump without library
        # rows is refused before the old table is touched.
        records = library_records(str(self.dump), columns, ("artist", "title"), self.allow_incomplete, "run",
                                  self.table, self.library_columns)
        first = next(records)
        # A table without ids (another table than `library`) is numbered in its order.
        numbered = itertools.count(1) if all(row[0] is None for row in first) else None

        def rows():
            with Progress("load_library", unit="rows") as progress:
                for chunk in itertools.chain([first], records):
                    for row in chunk:
                        record = list(row)
                        if numbered is not None:
                            record[0] = next(numbered)
                        for k in stored:
                            if isinstance(record[k], str):
                                record[k] = text.to_storage_form(record[k])
                        counts["rows"] += 1
                        counts["compilations"] += isinstance(record[artist], str) and text.is_compilation_artist(
                            record[artist])
                        yield record
                    progress.update(len(chunk))

        self._replace(schema.LIBRARY_TABLE, schema.library_ddl(), columns, rows())
        print(f"[done] load_library: {counts['rows']} rows from {inert(self.dump.name)}, "
              f"{counts['compilations']} compilations")

    def dedupe_releases(self) -> None:
        """The releases, one per (artist, title) in match form: the first row
        of each is kept, the others are listed in WORKDIR/duplicates.csv (the
        input row, its number and the number of the row kept in its place)."""
        first_row: dict[tuple[str, str], int] = {}  # key: the number of the row kept for it
        kept, dropped = [], []
        table = self._releases_csv()
        ia, it = table.column(self.artist_column), table.column(self.title_column)
        with table.stream:
            for number, row in enumerate(table.rows(), 1):
                artist = pg.to_pg_text_form(text.to_storage_form(row[ia]))
                title = pg.to_pg_text_form(text.to_storage_form(row[it]))
                first = first_row.setdefault((text.to_match_form(artist), text.to_match_form(title)), number)
                if first == number:
                    fields = json.dumps(row, ensure_ascii=False)
                    kept.append({"artist": artist, "title": title, "fields": fields})
                else:
                    dropped.append([number, *row, first])
        header = table.header
        with atomic_write(self.workdir / DUPLICATES) as f:
            writer = csv_writer(f, self.csv_safe, dialect=self._dialect(table))
            writer.writerow(["row", *header, "duplicate_of_row"])
            writer.writerows(dropped)
        print(f"[done] dedupe_releases: {len(kept)} releases, {len(dropped)} duplicates dropped"
              + (f" (listed in {inert(self.workdir / DUPLICATES)})" if dropped else ""))
        roles = {ia: "artist", it: "title"}
        self._replace_job_table(RELEASE_COLUMNS_TABLE, [(k, c, roles.get(k)) for k, c in enumerate(header)])
        self._replace_job_table(RELEASES_TABLE, [(k, r["artist"], r["title"], r["fields"]) for k, r in enumerate(kept)])

    def _dialect(self, releases: CsvInput) -> Dialect:
        """The dialect of the CSVs written (--output-dialect; by default the releases CSV's)."""
        return output_dialect(argparse.Namespace(output_dialect=self.output_dialect), releases)

    def _library(self) -> list[tuple[Optional[str], Optional[str]]]:
        return self.store.query(f"SELECT artist, title FROM {schema.LIBRARY_TABLE} ORDER BY id")

    def _releases(self) -> list[dict[str, str]]:
        rows = self.store.query(f"SELECT artist, title FROM {RELEASES_TABLE} ORDER BY seq")
        return [{"artist": artist, "title": title} for artist, title in rows]

    def classify(self) -> None:
        pairs = [(artist or "", title or "") for artist, title in self._library()]
        releases = self._releases()
        artists, titles = [r["artist"] for r in releases], [r["title"] for r in releases]
        index = library_index(pairs, self.thresholds, self.distinct_numbers)
        decisions: list[str] = []
        evidence: list[list[Any]] = []  # compact at once: explain's dicts of a whole run would not fit
        with Progress("classify", total=len(releases), unit="releases") as progress:
            for start in range(0, len(releases), CLASSIFY_CHUNK):
                chunk = artists[start:start + CLASSIFY_CHUNK], titles[start:start + CLASSIFY_CHUNK]
                if self.review_page:
                    explained = index.explain(*chunk)
                    decisions += [e["decision"] for e in explained]
                    evidence += [review.explain_fields(e) for e in explained]
                else:
                    decisions += index.classify(*chunk)
                progress.update(len(chunk[0]))
        chosen_note = ""
        if self.decisions is not None:
            overrides = review.Overrides(review.read_decisions(str(self.decisions), self.encoding),
                                         self.decisions.name)
            for k, chosen in enumerate(overrides.apply(artists, titles, decisions)):
                if chosen is not None and evidence:
                    evidence[k] = review.mark_chosen(evidence[k], chosen, self.decisions.name)
            chosen_note = f"; {overrides.summary()}"
        counts = Counter(decisions)
        print(f"[done] classify: {counts['keep']} keep, {counts['prune']} prune, {counts['review']} review"
              f" (thresholds: {describe_thresholds(self.thresholds, self.distinct_numbers)}{inert(chosen_note)})")
        # In one transaction: the page never shows the evidence of other decisions.
        self._replace_job_tables({
            DECISIONS_TABLE: list(enumerate(decisions)),
            EVIDENCE_TABLE: [(k, json.dumps(e, ensure_ascii=False)) for k, e in enumerate(evidence)]})

    def resolve_artists(self) -> None:
        # Matched in identity form, recorded as the library stores the name
        # (the first library row with that form), so the report joins back.
        stored: dict[str, str] = {}
        for artist, _ in self._library():
            if artist:
                stored.setdefault(text.to_identity_match_form(artist), artist)
        catalog = sorted(stored)
        names = [text.to_identity_match_form(r["artist"]) for r in self._releases()]
        with Progress("resolve_artists", total=len(names), unit="names") as progress:
            resolved = resolve_in_chunks(names, catalog, DEFAULT_RESOLVE_THRESHOLD, progress)
        print(f"[done] resolve_artists: {sum(r is not None for r in resolved)} of {len(names)} artists resolved")
        self._replace_job_table(MATCHES_TABLE, [(k, None if r is None else stored[r]) for k, r in enumerate(resolved)])

    def _input_rows(self) -> tuple[list[str], list[int], list[list[Optional[str]]]]:
        """The releases CSV's header, the places of its artist and title
        columns (past its end where it has none), and each kept release's
        input row. A database from before the rows were kept gives artist
        and title only."""
        if not self.store.table_exists(RELEASE_COLUMNS_TABLE):
            old = self.store.query(f"SELECT artist, title FROM {RELEASES_TABLE} ORDER BY seq")
            return ["artist", "title"], [0, 1], [list(r) for r in old]
        columns = self.store.query(f"SELECT name, role FROM {RELEASE_COLUMNS_TABLE} ORDER BY position")
        header = [name for name, _ in columns]
        roles = [role for _, role in columns]
        places = []
        for role in ("artist", "title"):
            if role not in roles:
                header.append(role)
            places.append(roles.index(role) if role in roles else len(header) - 1)
        rows = [json.loads(fields) for (fields,) in self.store.query(
            f"SELECT fields FROM {RELEASES_TABLE} ORDER BY seq")]
        return header, places, rows

    def refuse_overwriting_inputs(self) -> None:
        """UserError when the report, the state or the SQLite database would
        be written over the dump or the releases CSV."""
        outputs = [str(self.workdir / REPORT), str(self.workdir / review.PAGE_NAME), str(self.state_path),
                   str(self.workdir / DUPLICATES)]
        database = stores.sqlite_path(self.db_url)  # checked when the URL was resolved
        if database is not None:
            outputs.append(database)
        refuse_overwriting_inputs(outputs, [str(path) for path in self.files().values()], "use another --workdir")

    def write_report(self) -> None:
        """Every column of the releases CSV (artist and title in storage
        form), then the ASCII forms, the decision and the library's stored
        name of the artist; a column of these already in the input is
        replaced in place."""
        releases = self._releases()
        header, place, rows = self._input_rows()
        decisions = [d for (d,) in self.store.query(f"SELECT decision FROM {DECISIONS_TABLE} ORDER BY seq")]
        resolved = [m for (m,) in self.store.query(f"SELECT library_artist FROM {MATCHES_TABLE} ORDER BY seq")]
        header, added = add_columns(header, ["ascii_artist", "ascii_title", "decision", "library_artist"],
                                    str(self.releases), "[note] write_report:")
        place += added
        out = self.workdir / REPORT
        table = self._releases_csv()
        table.stream.close()  # only its dialect is wanted
        with atomic_write(out) as f:
            writer = csv_writer(f, self.csv_safe, dialect=self._dialect(table))
            writer.writerow(header)
            for release, row, decision, match in zip(releases, rows, decisions, resolved):
                row = row + [None] * (len(header) - len(row))
                for k, value in zip(place, [release["artist"], release["title"],
                                            text.to_ascii_form(release["artist"]),
                                            text.to_ascii_form(release["title"]), decision, match]):
                    row[k] = value
                writer.writerow(row)
        print(f"[done] write_report: {inert(out)}")
        page = self.workdir / review.PAGE_NAME
        if not self.review_page or not self.store.table_exists(EVIDENCE_TABLE):  # none asked, or made before pages
            if os.path.lexists(page):
                os.remove(page)  # an older run's page would not match this report
        else:
            evidence = [json.loads(e) for (e,) in
                        self.store.query(f"SELECT evidence FROM {EVIDENCE_TABLE} ORDER BY seq")]
            artists, titles = [r["artist"] for r in releases], [r["title"] for r in releases]
            rows = [review.page_row(a, t, ma, mt, d, e) for a, t, ma, mt, d, e in zip(
                artists, titles, text.batch_to_match_form(artists), text.batch_to_match_form(titles), decisions,
                evidence)]
            with atomic_write(page) as f:
                f.write(review.render_page(rows, self.thresholds, self.releases.name, self.distinct_numbers))
            print(f"    review page: {inert(page)}")
        # A few examples of each decision; the report holds them all.
        shown: Counter[str] = Counter()
        for release, decision in zip(releases, decisions):
            if shown[decision] < 5:
                shown[decision] += 1
                print(f"    {decision:<7} {inert(release['artist'])} - {inert(release['title'])}")


def add_parsers(sub) -> None:
    demo = add_command(sub, "demo", "run the job on the bundled sample data", __doc__, """
zemo-etl demo --fresh --workdir build/demo     # the bundled 3,000 releases, from the start
zemo-etl demo --scale 50000 --workdir big      # 50,000 generated ones, with timings
""")
    demo.add_argument("--workdir", type=pathlib.Path, default=pathlib.Path("zemo-etl-demo"))
    demo.add_argument("--fresh", action="store_true", help="forget the state of an earlier run")
    demo.add_argument("--db-url", help="postgresql://... instead of the SQLite file WORKDIR/library.db")
    demo.add_argument("--scale", type=int, metavar="N",
                      help="generate N library rows and N releases into WORKDIR and print each step's time")
    add_decisions_option(demo)
    add_review_page_option(demo)
    add_threshold_options(demo)
    add_output_options(demo)
    demo.set_defaults(handler=run_demo)
    run = add_command(sub, "run", "run the job on a dump and a releases CSV", __doc__, """
zemo-etl run --dump library.sql --releases releases.csv --workdir out
zemo-etl run --dump library.sql --releases releases.csv --workdir out   # again: resumes
zemo-etl run --dump library.sql --releases releases.csv --workdir out --fresh
""")
    run.add_argument("--dump", type=pathlib.Path, required=True, help="MySQL dump holding the `library` table")
    run.add_argument("--releases", type=pathlib.Path, required=True, help="CSV with artist,title columns")
    run.add_argument("--workdir", type=pathlib.Path, required=True)
    run.add_argument("--fresh", action="store_true", help="forget the state of an earlier run")
    run.add_argument("--db-url", help="postgresql://... instead of the SQLite file WORKDIR/library.db")
    run.add_argument("--artist-column", default="artist", metavar="NAME", help="artist column of the releases CSV")
    run.add_argument("--title-column", default="title", metavar="NAME", help="title column of the releases CSV")
    add_decisions_option(run)
    add_review_page_option(run)
    add_threshold_options(run)
    add_input_options(run)
    add_library_options(run)
    add_allow_incomplete(run)
    add_output_options(run)
    run.set_defaults(handler=run_job)


def add_decisions_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--decisions", type=pathlib.Path, metavar="FILE",
                   help="CSV artist,title,decision (a review page's export): these releases take the decision chosen")


def add_review_page_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--no-review-page", dest="review_page", action="store_false",
                   help="no WORKDIR/review.html: the decisions alone, at a fraction of the CPU")


GENERATED = "generated.json"  # in WORKDIR/input: the --scale its files were generated for


def run_demo(args: argparse.Namespace) -> int:
    args.dump = SAMPLE_DATA / "library.sql"
    args.releases = SAMPLE_DATA / "releases.csv"
    if args.scale is None:
        return run_job(args)
    if args.scale < 1:
        raise UserError("--scale must be at least 1")
    data = args.workdir / "input"
    args.dump, args.releases = data / "library.sql", data / "releases.csv"
    pipeline = _pipeline(args)
    with pipeline.locked():
        data.mkdir(exist_ok=True)
        check_folder(data, args.allow_shared_folder, args.command)
        # The files of an earlier demo at this scale are taken again, so that
        # an interrupted one resumes where it stopped; new data starts over.
        started = time.monotonic()
        generated: Optional[float] = None
        if args.fresh or _generated_scale(data) != args.scale or not (
                args.dump.is_file() and args.releases.is_file()):
            if os.path.lexists(data / GENERATED):
                os.remove(data / GENERATED)
            _demo_data.generate(str(args.dump), str(args.releases), args.scale, args.scale)
            with atomic_write(data / GENERATED) as f:
                json.dump({"scale": args.scale}, f)
            generated = time.monotonic() - started
            args.fresh = True  # new data: an old state would not match it
        status = run_job(args, pipeline)
    print(f"timings for {args.scale:,} library rows and {args.scale:,} releases:")
    print(f"    {'generate data':<16} " + (f"{generated:8.2f} s" if generated is not None else "  reused"))
    for step, seconds in pipeline.timings.items():
        print(f"    {step:<16} {seconds:8.2f} s")
    return status


def _generated_scale(data: pathlib.Path) -> Optional[int]:
    try:
        with open(data / GENERATED, encoding="utf-8") as f:
            scale = json.load(f).get("scale")
    except (OSError, ValueError, AttributeError):
        return None
    return scale if isinstance(scale, int) else None


def _pipeline(args: argparse.Namespace) -> Pipeline:
    pipeline = Pipeline(args.dump, args.releases, args.workdir, args.db_url, csv_safe=args.csv_safe,
                        allow_shared_folder=args.allow_shared_folder, encoding=getattr(args, "encoding", "utf-8"),
                        delimiter=getattr(args, "delimiter", None),
                        artist_column=getattr(args, "artist_column", "artist"),
                        title_column=getattr(args, "title_column", "title"), thresholds=thresholds_from(args),
                        distinct_numbers=getattr(args, "distinct_numbers", False),
                        decisions=getattr(args, "decisions", None), review_page=getattr(args, "review_page", True),
                        output_dialect=getattr(args, "output_dialect", "input"),
                        table=getattr(args, "table", schema.LIBRARY_TABLE), library_columns=library_names(args))
    pipeline.allow_incomplete = getattr(args, "allow_incomplete", False)
    return pipeline


def run_job(args: argparse.Namespace, pipeline: Optional[Pipeline] = None) -> int:
    pipeline = pipeline or _pipeline(args)
    pipeline.refuse_overwriting_inputs()
    return pipeline.run(fresh=args.fresh)


def _with_url(st: state.PipelineState, doc: dict, db_url: str, csv_dir: str) -> state.PipelineState:
    """The same steps and statuses under another database URL and CSV folder."""
    steps = list(doc.get("steps", {}))
    new = state.PipelineState(db_url, csv_dir, steps)
    for step in steps:
        if st.is_completed(step):
            new.mark_completed(step)
        elif st.step_status(step) == "failed":
            new.mark_failed(step, st.step_error(step) or "")
    return new


def _rebuilt(db_url: str, csv_dir: str, completed: list[str]) -> state.PipelineState:
    """A state whose completed steps are `completed`, the others pending."""
    new = state.PipelineState(db_url, csv_dir, STEPS)
    for step in completed:
        new.mark_completed(step)
    return new
