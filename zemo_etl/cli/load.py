"""``zemo-etl load DUMP TABLE --into URL``: one table of a MySQL dump into a database.

    zemo-etl load library.sql library --into sqlite:///library.db --create
    zemo-etl load dump.sql release --into postgresql://user@host/db --replace

The load is one transaction: after an error, a bad row, a full disk or
Ctrl-C the target is exactly as it was. Exit status 0, 2 for what the user can
fix (arguments, URL, missing table, rows the table refuses), 1 for a failure
of the machine (disk full, lost connection), 130 for Ctrl-C.
"""

from __future__ import annotations

import argparse
import sqlite3
import sys
import time

from zemo_etl import stores

# SQLite's result codes for failures of the machine rather than of the input.
_SQLITE_MACHINE_ERRORS = {"SQLITE_FULL", "SQLITE_IOERR", "SQLITE_NOMEM", "SQLITE_CORRUPT", "SQLITE_NOTADB"}


def add_parsers(sub: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    load = sub.add_parser("load", help="load one table of a MySQL dump into SQLite or PostgreSQL",
                          description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    load.add_argument("dump", help="MySQL dump file")
    load.add_argument("table", help="the table to load; the target table has the same name")
    load.add_argument("--into", required=True, metavar="URL",
                      help="sqlite:///PATH (sqlite:////ABSOLUTE/PATH) or postgresql://...")
    load.add_argument("--create", action="store_true",
                      help="create the table when it is missing (library: the published DDL; other tables: the "
                           "dump's column names, types from the values)")
    load.add_argument("--replace", action="store_true", help="empty the table first, in the same transaction")
    load.add_argument("--batch-rows", type=int, default=stores.DEFAULT_BATCH_ROWS, metavar="N",
                      help=f"rows read from the dump and sent at a time (default {stores.DEFAULT_BATCH_ROWS})")
    load.set_defaults(handler=run_load)


def describe_error(error: BaseException) -> tuple[int, str]:
    """Exit status and one line for a failed load."""
    if isinstance(error, stores.StoreError):
        return 2, str(error)
    if isinstance(error, sqlite3.Error):
        name = "_".join(getattr(error, "sqlite_errorname", "").split("_")[:2])  # SQLITE_IOERR_WRITE: SQLITE_IOERR
        text = str(error)
        machine = name in _SQLITE_MACHINE_ERRORS or (not name and ("disk" in text or "I/O" in text))
        return (1 if machine else 2), f"SQLite: {stores._one_line(text)}"
    psycopg = sys.modules.get("psycopg")  # loaded by the store when it is in use
    if psycopg is not None and isinstance(error, psycopg.Error):
        diag = getattr(error, "diag", None)
        primary = (diag.message_primary if diag is not None else None) or str(error)
        context = diag.context if diag is not None else None
        line = f"PostgreSQL: {primary}" + (f" ({context.splitlines()[0]})" if context else "")
        machine = isinstance(error, psycopg.OperationalError) and not isinstance(error, psycopg.errors.QueryCanceled)
        return (1 if machine else 2), stores._one_line(line)
    if isinstance(error, OSError):
        return 1, stores._one_line(str(error))
    if isinstance(error, RuntimeError):  # the dump reader: cannot open / mmap
        return 2, str(error)
    raise error


def run_load(args: argparse.Namespace) -> int:
    where = f"{args.table} in {stores.redact_url(args.into)}"
    start = time.monotonic()
    store = None
    try:
        store = stores.open_store(args.into)
        result = stores.load_dump_table(store, args.dump, args.table, create=args.create, replace=args.replace,
                                        batch_rows=args.batch_rows)
    except KeyboardInterrupt:
        print(f"zemo-etl load: interrupted; {where} is unchanged", file=sys.stderr)
        return 130
    except Exception as e:
        status, line = describe_error(e)
        print(f"zemo-etl load: {line}; {where} is unchanged", file=sys.stderr)
        return status
    finally:
        if store is not None:
            store.close()
    seconds = time.monotonic() - start
    made = "created and loaded" if result.created else "loaded"
    print(f"{made} {args.table}: {result.rows} rows into {store.name} in {seconds:.1f} s")
    return 0
