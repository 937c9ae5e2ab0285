"""The job's steps over one dump, one releases CSV and one work folder.

1. load_library    the library table out of the MySQL dump, in storage form
2. dedupe_releases the releases CSV, in storage form, duplicates dropped
3. classify        each release keep / prune / review against the library
4. resolve_artists each release artist against the library's artists
5. write_report    WORKDIR/releases_classified.csv, WORKDIR/review.html and a summary

A run resumes from the first step not completed (WORKDIR/state.json) and
redoes the first step whose inputs changed and every step after it
(WORKDIR/inputs.json, kept by `workdir`). Each step replaces its tables in
the database in one transaction, and says what it did on standard output
once it is recorded completed.
"""

from __future__ import annotations

import codecs
import contextlib
import functools
import gc
import io
import itertools
import json
import os
from json.encoder import encode_basestring
import pathlib
import sys
import time
from collections import Counter
from collections.abc import Callable, Iterator
from typing import Any, Optional

from zemo_etl import safety, schema, state, stores, text
from zemo_etl.columns import FORMS
from zemo_etl.errors import OPTION, InputError, Wording
from zemo_etl.index import DEFAULT_RESOLVE_THRESHOLD, DEFAULT_THRESHOLDS, LibraryIndex, check_thresholds
from zemo_etl.job import page, states
from zemo_etl.job import workdir as workdir_record
from zemo_etl.job.ahead import made_beside, read_ahead
from zemo_etl.job.decisions import Overrides, decided_chunks, describe_thresholds, read_decisions
from zemo_etl.job.duplicates import Duplicates, stored_names
from zemo_etl.job.library import library_index, library_records, resolve_in_chunks, storage_forms
from zemo_etl.job.options import JobOptions, option_name
from zemo_etl.progress import Progress
from zemo_etl.reading import CsvInput, Dialect, open_text, require_file
from zemo_etl.safety import atomic_write, inert, redact_url, scrub, url_secrets
from zemo_etl.writing import add_columns, check_folder, csv_writer, output_dialect, refuse_overwriting_inputs

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
# LibraryIndex.explain's evidence of each decision (Evidence.as_list as JSON), for the review page.
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
    ("classify", [*map(option_name, DEFAULT_THRESHOLDS), "--distinct-numbers", "--rules", "--decisions",
                  "--no-review-page"]),
    ("resolve_artists", []),
    ("write_report", ["--csv-safe", "--output-dialect", "--no-review-page"]),
]
assert [step for step, _ in STEP_READS] == STEPS
# Options added since a record could be written, as a record without them
# means them: the steps it completed ran so.
ADDED_OPTIONS = {"--output-dialect": "input", "--table": schema.LIBRARY_TABLE, "--library-artist-column": "artist",
                 "--library-title-column": "title", "--rules": "standard"}
JOB_TABLES = {
    # fields: the release's whole input row, a JSON array in the header's order
    RELEASES_TABLE: ["seq INTEGER PRIMARY KEY", "artist TEXT", "title TEXT", "fields TEXT"],
    RELEASE_COLUMNS_TABLE: ["position INTEGER PRIMARY KEY", "name TEXT", "role TEXT"],
    DECISIONS_TABLE: ["seq INTEGER PRIMARY KEY", "decision TEXT NOT NULL"],
    MATCHES_TABLE: ["seq INTEGER PRIMARY KEY", "library_artist TEXT"],
    EVIDENCE_TABLE: ["seq INTEGER PRIMARY KEY", "evidence TEXT"],
}


# Rows of the releases CSV and of the job's tables handled per chunk.
ROW_CHUNK = 10_000


def _json_strings(values: list[str]) -> str:
    """json.dumps(values, ensure_ascii=False) for a list of str, without its per-call cost."""
    return "[" + ", ".join(map(encode_basestring, values)) + "]"


@contextlib.contextmanager
def collection_paused() -> Iterator[None]:
    """The cyclic garbage collector's automatic runs held off for the scope.
    A step makes millions of objects that live a chunk or the whole step, and
    no cycles of its own: each full collection would walk them all again for
    nothing (a third of the review page's time at a million releases). The
    collector is left as it was found."""
    if not gc.isenabled():
        yield
        return
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


class StepFailed(Exception):
    """A step of a run failed: `step`, and `error`, the one line it failed
    with (no password of the database's URL in it); the exception it failed
    with is the cause (``__cause__``)."""

    def __init__(self, step: str, error: str) -> None:
        super().__init__(f"{step}: {error}")
        self.step, self.error = step, error


class Pipeline:
    """The job over one dump, one releases CSV and one work folder, as
    `options` (a JobOptions) say; `wording`: how its messages call the
    options and begin its warnings."""

    def __init__(self, dump: str | os.PathLike[str], releases: str | os.PathLike[str],
                 workdir: str | os.PathLike[str], options: Optional[JobOptions] = None,
                 wording: Wording = Wording()) -> None:
        self.wording = wording
        self.dump, self.releases, self.workdir = pathlib.Path(dump), pathlib.Path(releases), pathlib.Path(workdir)
        options = options if options is not None else JobOptions()
        self.fresh, self.allow_incomplete = options.fresh, options.allow_incomplete
        self.csv_safe, self.allow_shared_folder = options.csv_safe, options.allow_shared_folder
        self.encoding, self.delimiter = options.encoding, options.delimiter
        self.artist_column, self.title_column = options.artist_column, options.title_column
        try:
            self.thresholds = check_thresholds(options.thresholds)
        except ValueError as e:
            raise InputError(str(e)) from None
        self.distinct_numbers, self.rules = options.distinct_numbers, options.rules
        self.decisions = pathlib.Path(options.decisions) if options.decisions is not None else None
        self.review_page, self.output_dialect = options.review_page, options.output_dialect
        # Where the library is in the dump: its table, and its names of the artist and title columns.
        self.table, self.library_columns = options.table, options.library_columns
        self.state_path = self.workdir / "state.json"
        self.db_url = states.resolve_db_url(options.db_url or "sqlite:///" + str(self.workdir / "library.db"))
        self.csv_dir = str(self.releases.resolve().parent)
        self.store: stores.Store
        self.timings: dict[str, float] = {}
        self.cpu_times: dict[str, float] = {}  # each step's CPU time, all of the process's threads
        self._lock_depth = 0
        # classify's library index, being built while dedupe_releases runs (see _run_steps).
        self._index_beside: Optional[Callable[[], LibraryIndex]] = None

    def options(self) -> dict[str, Any]:
        """The options that change what the run computes, by their names, as
        they take effect (the delimiter found in the header once it is read)."""
        return {"--encoding": codecs.lookup(self.encoding).name, "--delimiter": self.delimiter,
                "--artist-column": self.artist_column, "--title-column": self.title_column,
                "--csv-safe": self.csv_safe, "--output-dialect": self.output_dialect, "--table": self.table,
                "--library-artist-column": self.library_columns["artist"],
                "--library-title-column": self.library_columns["title"],
                **{option_name(name): value for name, value in self.thresholds.items()},
                "--distinct-numbers": self.distinct_numbers, "--rules": self.rules,
                "--decisions": self.decisions is not None,
                "--no-review-page": not self.review_page}

    def files(self) -> dict[str, pathlib.Path]:
        """The input files, by their options."""
        files = {"--dump": self.dump, "--releases": self.releases}
        if self.decisions is not None:
            files["--decisions"] = self.decisions
        return files

    def check_inputs(self) -> None:
        """Each input a regular file we can read, the releases a well-formed
        CSV with the columns we need: refused (InputError) before any step
        starts, rather than after the dump is loaded."""
        require_file(str(self.dump))
        if self.decisions is not None:
            read_decisions(str(self.decisions), self.encoding)
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
        """The work folder, made if need be and checked as a place to write (InputError)."""
        try:
            self.workdir.mkdir(parents=True, exist_ok=True)
        except FileExistsError:
            raise InputError(f"{inert(self.workdir)}: not a folder ({OPTION})", "workdir") from None
        except OSError as e:
            raise InputError(f"{inert(self.workdir)}: cannot make the folder: {e.strerror}") from None
        # It holds the lock, the state and (by default) the database, all
        # used in place; so does the folder of a database given elsewhere.
        check_folder(self.workdir, self.allow_shared_folder, self.wording, in_place=True)
        database = stores.sqlite_path(self.db_url)
        if database is not None:
            folder = os.path.dirname(database)
            if os.path.isdir(folder) and not os.path.samefile(folder, self.workdir):
                check_folder(folder, self.allow_shared_folder, self.wording, in_place=True)

    @contextlib.contextmanager
    def locked(self) -> Iterator[None]:
        """The work folder held for this run alone (InputError naming the pid
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
            st = states.rebuilt(self._state_url, self.csv_dir, STEPS, kept)
            self._save(st)
        self._fingerprints = workdir_record.fingerprints(record, STEP_READS)
        self._record = dict(record, steps={step: self._fingerprints[step] for step in kept})
        workdir_record.save(self.workdir, self._record)
        return st

    def _load_or_create_state(self) -> state.PipelineState:
        """The state to resume, or a new one. The state holds the URL without
        its password, and a resume compares it so: the same database with
        another password is the same run. InputError when it cannot resume."""
        self._state_url = redact_url(self.db_url)
        if not os.path.lexists(self.state_path):
            return state.PipelineState(self._state_url, self.csv_dir, STEPS)
        os.close(workdir_record.open_own(self.state_path))  # ours, not planted: it is read by name
        st, doc = states.load(str(self.state_path))
        stored = str(doc.get("database_url"))
        self._state_url = redact_url(stored)
        try:
            # The CSV's folder is not checked: the releases' content is, by
            # their step's fingerprint.
            st.validate_resume(states.resume_url(doc, self.db_url), str(doc.get("csv_dir")))
        except ValueError as e:
            reason = scrub(str(e), url_secrets(stored) + url_secrets(self.db_url))
            raise InputError(f"cannot resume: {reason} ({OPTION} starts over)", "fresh") from None
        if stored != redact_url(stored) or doc.get("csv_dir") != self.csv_dir:
            # Written before URLs were stored redacted (the password goes
            # now), or releases read from another folder.
            st = states.with_url(st, doc, redact_url(stored), self.csv_dir)
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
                self._fill_job_table(table, rows)

    def _fill_job_table(self, table: str, rows: Any) -> None:
        definitions = JOB_TABLES[table]
        self._fill(table, f"CREATE TABLE {table} ({', '.join(definitions)})", [d.split()[0] for d in definitions],
                   rows)

    def _insert_job_rows(self, table: str, rows: Any) -> None:
        self.store.insert_rows(table, [d.split()[0] for d in JOB_TABLES[table]], rows)

    def run(self) -> None:
        """The steps not completed yet (all of them with `fresh`), each
        reporting on standard output. StepFailed when one fails (recorded in
        the state); InputError when an input, the work folder, the state or
        the database is unusable, when another run holds the folder, or when
        the state to resume is of other inputs; KeyboardInterrupt passes
        through, recorded in the state."""
        self.check_inputs()
        with self.locked():
            if self.fresh and os.path.lexists(self.state_path):
                os.remove(self.state_path)
            self._run_loaded()

    def _run_loaded(self) -> None:
        st = self._plan(self._load_or_create_state())
        try:
            self.store = stores.open_store(self.db_url)
        except stores.StoreError as e:
            raise InputError(str(e)) from None
        with self.store:
            self._run_steps(st)

    def _save(self, st: state.PipelineState) -> None:
        st.save(str(self.state_path))

    def _run_steps(self, st: state.PipelineState) -> None:
        failed = None
        try:
            for step in STEPS:
                if st.is_completed(step):
                    print(f"[skip] {step}: completed in an earlier run")
                    continue
                started, cpu = time.monotonic(), time.process_time()
                if step == "dedupe_releases":  # classify follows: it is not completed either
                    with collection_paused():
                        self._index_beside = self._index_made_beside()
                # A step's lines are printed once it is recorded completed: a
                # reader gone away (`| head`) or a full disk ends the command,
                # it fails no step.
                said = io.StringIO()
                try:
                    with contextlib.redirect_stdout(said), collection_paused():
                        getattr(self, step)()
                except Exception as e:
                    failed = step
                    # A driver's error may quote the URL's password.
                    error = scrub(self.wording.describe(e), url_secrets(self.db_url))
                    st.mark_failed(step, f"{type(e).__name__}: {error}")
                    self._save(st)
                    raise StepFailed(step, error) from e
                self.timings[step] = time.monotonic() - started
                self.cpu_times[step] = time.process_time() - cpu
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
        finally:
            self._index_beside = None  # a run stopped before classify drops it

    def load_library(self) -> None:
        columns = schema.library_columns()
        stored = [columns.index(key) for key in ("title", "artist", "alternate_artist_name")]
        artist = columns.index("artist")
        counts: Counter[str] = Counter()
        safety.require_regular_file(self.dump)
        # Read up to the first chunk here, so that a dump without library
        # rows is refused before the old table is touched.
        records = library_records(str(self.dump), columns, ("artist", "title"), self.allow_incomplete, self.wording,
                                  self.table, self.library_columns)
        first = next(records)
        # A table without ids (another table than `library`) is numbered in its order.
        numbered = itertools.count(1) if all(row[0] is None for row in first) else None
        compilation: dict[Any, bool] = {}

        def chunks() -> Iterator[list[tuple[Any, ...]]]:
            for chunk in itertools.chain([first], records):
                # Column by column: one native call per chunk for each stored name.
                values = [list(column) for column in zip(*chunk)]
                if not values:
                    continue
                if numbered is not None:
                    values[0] = list(itertools.islice(numbered, len(chunk)))
                for k in stored:
                    values[k] = storage_forms(values[k])
                counts["rows"] += len(chunk)
                for name, n in Counter(values[artist]).items():
                    if name not in compilation:
                        compilation[name] = isinstance(name, str) and text.is_compilation_artist(name)
                    counts["compilations"] += n * compilation[name]
                yield list(zip(*values))

        def rows() -> Iterator[tuple[Any, ...]]:
            # The next chunk is read while SQLite stores this one.
            with Progress("load_library", unit="rows") as progress:
                for chunk in read_ahead(chunks()):
                    yield from chunk
                    progress.update(len(chunk))

        self._replace(schema.LIBRARY_TABLE, schema.library_ddl(), columns, rows())
        print(f"[done] load_library: {counts['rows']} rows from {inert(self.dump.name)}, "
              f"{counts['compilations']} compilations")

    def dedupe_releases(self) -> None:
        """The releases, one per (artist, title) in match form: the first row
        of each is kept, the others are listed in WORKDIR/duplicates.csv (the
        input row, its number and the number of the row kept in its place)."""
        duplicates = Duplicates()
        table = self._releases_csv()
        ia, it = table.column(self.artist_column), table.column(self.title_column)
        kept = 0

        def releases() -> Iterator[tuple[int, str, str, str]]:
            # Streamed into the table as the CSV is read, a chunk of names at a time, each column of the
            # kept rows made at once.
            nonlocal kept
            number = 1
            for chunk in table.chunks(ROW_CHUNK):
                artists, titles = stored_names([r[ia] for r in chunk]), stored_names([r[it] for r in chunk])
                keeps = duplicates.keeps(number, chunk, artists, titles)
                yield from zip(itertools.count(kept), itertools.compress(artists, keeps),
                               itertools.compress(titles, keeps), map(_json_strings, itertools.compress(chunk, keeps)))
                kept += sum(keeps)
                number += len(chunk)

        header = table.header
        roles = {ia: "artist", it: "title"}
        with table.stream, self.store.transaction():
            self._fill_job_table(RELEASE_COLUMNS_TABLE, [(k, c, roles.get(k)) for k, c in enumerate(header)])
            self._fill_job_table(RELEASES_TABLE, releases())
            with atomic_write(self.workdir / DUPLICATES) as f:
                duplicates.write(f, header, self.csv_safe, self._dialect(table))
        dropped = len(duplicates.dropped)
        print(f"[done] dedupe_releases: {kept} releases, {dropped} duplicates dropped"
              + (f" (listed in {inert(self.workdir / DUPLICATES)})" if dropped else ""))

    def _dialect(self, releases: CsvInput) -> Dialect:
        """The dialect of the CSVs written (`output_dialect`; by default the releases CSV's)."""
        return output_dialect(self.output_dialect, releases)

    def _library(self) -> list[tuple[Optional[str], ...]]:
        """(artist, title) rows, None as ""; with the careful rules, (artist, title, alias), an alias None where
        there is none."""
        alias = ", alternate_artist_name" if self.rules == "careful" else ""
        return self.store.query(f"SELECT coalesce(artist, ''), coalesce(title, ''){alias} "
                                f"FROM {schema.LIBRARY_TABLE} ORDER BY id")

    def _releases(self) -> tuple[list[str], list[str]]:
        """The releases' artists and titles."""
        rows = self.store.query(f"SELECT artist, title FROM {RELEASES_TABLE} ORDER BY seq")
        artists, titles = (list(column) for column in zip(*rows)) if rows else ([], [])
        return artists, titles

    def _library_index(self, library: list[tuple[Optional[str], ...]]) -> LibraryIndex:
        return library_index(library, self.thresholds, self.distinct_numbers, self.rules)

    def _index_made_beside(self) -> Optional[Callable[[], LibraryIndex]]:
        """classify's index, built in a thread from now on: it needs the library alone, and dedupe_releases,
        which runs meanwhile, keeps one core busy. None where the library cannot be read now (classify
        reads it again, and fails saying why)."""
        try:
            library = self._library()
        except Exception:
            return None
        return made_beside(functools.partial(self._library_index, library))

    def classify(self) -> None:
        made, self._index_beside = self._index_beside, None
        index = made() if made is not None else self._library_index(self._library())
        artists, titles = self._releases()
        overrides = None
        if self.decisions is not None:
            overrides = Overrides.read(str(self.decisions), self.encoding, self.decisions.name)
        counts: Counter[str] = Counter()
        seq = itertools.count()
        # In one transaction: the page never shows the evidence of other decisions. Each chunk goes
        # into the tables as it is decided, so that no list of every release's evidence is held.
        with self.store.transaction(), Progress("classify", total=len(artists), unit="releases") as progress:
            self._fill_job_table(DECISIONS_TABLE, [])
            self._fill_job_table(EVIDENCE_TABLE, [])
            for decisions, evidence in decided_chunks(index, artists, titles, self.review_page, overrides, progress,
                                                      ahead=True, stored=True):
                counts.update(decisions)
                first = next(seq)
                self._insert_job_rows(DECISIONS_TABLE, enumerate(decisions, first))
                self._insert_job_rows(EVIDENCE_TABLE, enumerate(evidence, first))
                seq = itertools.count(first + len(decisions))
        chosen_note = f"; {overrides.summary()}" if overrides is not None else ""
        print(f"[done] classify: {counts['keep']} keep, {counts['prune']} prune, {counts['review']} review"
              f" (thresholds: {describe_thresholds(self.thresholds, self.distinct_numbers, self.rules)}"
              f"{inert(chosen_note)})")

    def resolve_artists(self) -> None:
        # Matched in identity form, recorded as the library stores the name
        # (the first library row with that form), so the report joins back.
        # Forms are made of distinct names only: most names repeat.
        artists = [artist for artist in dict.fromkeys(
            artist for (artist,) in self.store.query(f"SELECT artist FROM {schema.LIBRARY_TABLE} ORDER BY id"))
            if artist]
        forms = FORMS["identity"](artists)
        # Reversed, the first row of each form is the one a dict keeps.
        stored = dict(zip(reversed(forms), reversed(artists)))
        del artists, forms
        catalog = sorted(stored)
        # Each distinct name is resolved once: its result is the same for every release with it.
        names = [name for (name,) in self.store.query(f"SELECT artist FROM {RELEASES_TABLE} ORDER BY seq")]
        spelled = list(dict.fromkeys(names))
        spelled_forms = FORMS["identity"](spelled)
        distinct = list(dict.fromkeys(spelled_forms))
        with Progress("resolve_artists", total=len(distinct), unit="names") as progress:
            found = dict(zip(distinct, resolve_in_chunks(distinct, catalog, DEFAULT_RESOLVE_THRESHOLD, progress)))
        library_artist = {name: None if found[form] is None else stored[found[form]]
                          for name, form in zip(spelled, spelled_forms)}
        del spelled, spelled_forms, distinct, found, stored, catalog
        matches = list(map(library_artist.__getitem__, names))
        print(f"[done] resolve_artists: {len(matches) - matches.count(None)} of {len(names)} artists resolved")
        self._replace_job_table(MATCHES_TABLE, enumerate(matches))

    def _input_columns(self) -> tuple[list[str], list[int]]:
        """The releases CSV's header and the places of its artist and title
        columns (past its end where it has none). A database from before the
        rows were kept has artist and title only."""
        if not self.store.table_exists(RELEASE_COLUMNS_TABLE):
            return ["artist", "title"], [0, 1]
        columns = self.store.query(f"SELECT name, role FROM {RELEASE_COLUMNS_TABLE} ORDER BY position")
        header = [name for name, _ in columns]
        roles = [role for _, role in columns]
        places = []
        for role in ("artist", "title"):
            if role not in roles:
                header.append(role)
            places.append(roles.index(role) if role in roles else len(header) - 1)
        return header, places

    def _column(self, table: str, column: str, start: int, end: int) -> list[Any]:
        """A column of one of the job's tables, for the releases numbered `start` to `end` (excluded)."""
        return [value for (value,) in self.store.query(
            f"SELECT {column} FROM {table} WHERE seq >= {int(start)} AND seq < {int(end)} ORDER BY seq")]

    def _json_column(self, table: str, column: str, start: int, end: int) -> list[Any]:
        # One parse for the whole chunk: the values are JSON texts.
        values: list[Any] = json.loads("[" + ",".join(self._column(table, column, start, end)) + "]")
        return values

    def _release_chunks(self) -> Iterator[tuple[int, int, list[str], list[str], list[str]]]:
        """(start, end, artists, titles, decisions) of the releases, ROW_CHUNK at a time."""
        (count,), = self.store.query(f"SELECT count(*) FROM {RELEASES_TABLE}")
        for start in range(0, count, ROW_CHUNK):
            end = start + ROW_CHUNK
            # Both names in one query, None as "".
            rows = self.store.query(f"SELECT coalesce(artist, ''), coalesce(title, '') FROM {RELEASES_TABLE} "
                                    f"WHERE seq >= {int(start)} AND seq < {int(end)} ORDER BY seq")
            artists, titles = (list(column) for column in zip(*rows)) if rows else ([], [])
            yield start, end, artists, titles, self._column(DECISIONS_TABLE, "decision", start, end)

    def refuse_overwriting_inputs(self) -> None:
        """InputError when the report, the state or the SQLite database would
        be written over the dump or the releases CSV."""
        outputs = [str(self.workdir / REPORT), str(self.workdir / page.PAGE_NAME), str(self.state_path),
                   str(self.workdir / DUPLICATES)]
        database = stores.sqlite_path(self.db_url)  # checked when the URL was resolved
        if database is not None:
            outputs.append(database)
        refuse_overwriting_inputs(outputs, [str(path) for path in self.files().values()], f"use another {OPTION}",
                                  "workdir")

    def write_report(self) -> None:
        """Every column of the releases CSV (artist and title in storage
        form), then the ASCII forms, the decision and the library's stored
        name of the artist; a column of these already in the input is
        replaced in place."""
        header, place = self._input_columns()
        kept_rows = self.store.table_exists(RELEASE_COLUMNS_TABLE)
        header, added = add_columns(header, ["ascii_artist", "ascii_title", "decision", "library_artist"],
                                    str(self.releases), "[note] write_report:")
        place += added
        out = self.workdir / REPORT
        table = self._releases_csv()
        table.stream.close()  # only its dialect is wanted
        # A few examples of each decision, in the releases' order; the report holds them all.
        shown: Counter[str] = Counter()
        examples: list[tuple[str, str, str]] = []
        with atomic_write(out) as f:
            writer = csv_writer(f, self.csv_safe, dialect=self._dialect(table))
            writer.writerow(header)
            for start, end, artists, titles, decisions in self._release_chunks():
                rows = self._json_column(RELEASES_TABLE, "fields", start, end) if kept_rows else [
                    [a, t] for a, t in zip(artists, titles)]
                # "" where csv.writer would write None as "": rows all of text are joined without it.
                resolved = [r or "" for r in self._column(MATCHES_TABLE, "library_artist", start, end)]
                values = zip(artists, titles, FORMS["ascii"](artists), FORMS["ascii"](titles), decisions, resolved)
                report = []
                for row, placed in zip(rows, values):
                    row += [""] * (len(header) - len(row))
                    for k, value in zip(place, placed):
                        row[k] = value
                    report.append(row)
                writer.writerows(report)
                for artist, title, decision in zip(artists, titles, decisions):
                    if shown[decision] < 5:
                        shown[decision] += 1
                        examples.append((decision, artist, title))
        print(f"[done] write_report: {inert(out)}")
        page_path = self.workdir / page.PAGE_NAME
        if not self.review_page or not self.store.table_exists(EVIDENCE_TABLE):  # none asked, or made before pages
            if os.path.lexists(page_path):
                os.remove(page_path)  # an older run's page would not match this report
        else:
            with atomic_write(page_path) as f:
                f.write(page.render_page(self._page_rows(), self.thresholds, self.releases.name,
                                         self.distinct_numbers, rules=self.rules))
            print(f"    review page: {inert(page_path)}")
        for decision, artist, title in examples:
            print(f"    {decision:<7} {inert(artist)} - {inert(title)}")

    def _page_rows(self) -> Iterator[list[Any]]:
        """The review page's rows, read from the job's tables a chunk at a time."""
        for start, end, artists, titles, decisions in self._release_chunks():
            yield from page.stored_page_rows(artists, titles, FORMS["match"](artists), FORMS["match"](titles),
                                             decisions, self._json_column(EVIDENCE_TABLE, "evidence", start, end))
