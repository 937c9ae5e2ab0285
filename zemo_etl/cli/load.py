"""`zemo-etl load DUMP TABLE --into URL`: one table of a MySQL dump into a database.

The load is one transaction: after an error, a bad row, a full disk or
Ctrl-C the target is exactly as it was. Exit status 0, 2 for what the user can
fix (arguments, URL, missing table, rows the table refuses), 1 for a failure
of the machine (disk full, lost connection), 130 for Ctrl-C.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

from zemo_etl import dump, stores
from zemo_etl.cli.errors import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_USAGE, CommandError, UserError, wording
from zemo_etl.errors import Error
from zemo_etl.cli.options import add_allow_incomplete, add_command, add_output_options
from zemo_etl.writing import check_folder, refuse_overwriting_inputs
from zemo_etl.safety import inert, scrub, url_secrets


def add_parsers(sub) -> None:
    p = add_command(sub, "load", "load one table of a MySQL dump into SQLite or PostgreSQL", __doc__, """
zemo-etl load library.sql library --into sqlite:///library.db --create
zemo-etl load dump.sql release --into postgresql://user@host/db --replace
""")
    p.add_argument("dump", help="MySQL dump file")
    p.add_argument("table", help="the table to load; the target table has the same name")
    p.add_argument("--into", required=True, metavar="URL",
                   help="sqlite:///PATH (sqlite:////ABSOLUTE/PATH) or postgresql://...")
    p.add_argument("--create", action="store_true",
                   help="create the table when it is missing (library: the published DDL; other tables: the "
                        "dump's column names, types from the values)")
    p.add_argument("--replace", action="store_true", help="empty the table first, in the same transaction")
    p.add_argument("--batch-rows", type=int, default=stores.DEFAULT_BATCH_ROWS, metavar="N",
                   help=f"rows read from the dump and sent at a time (default {stores.DEFAULT_BATCH_ROWS})")
    add_allow_incomplete(p)
    add_output_options(p, csv=False)
    p.set_defaults(handler=run_load)


def run_load(args: argparse.Namespace) -> int:
    where = f"{args.table} in {stores.redact_url(args.into)}"
    try:
        database = stores.sqlite_path(args.into)
    except stores.StoreError as e:
        raise UserError(str(e)) from None
    if database is not None:
        refuse_overwriting_inputs([database], [args.dump], "load into another database")
        folder = os.path.dirname(os.path.abspath(database))
        if os.path.isdir(folder):  # a missing one is the store's to report
            check_folder(folder, args.allow_shared_folder, wording(args), in_place=True)
    start = time.monotonic()
    store = None
    try:
        # A new SQLite database takes its name only once the load is committed.
        store = stores.open_store(args.into, staged=True)
        result = stores.load_dump_table(store, args.dump, args.table, create=args.create, replace=args.replace,
                                        batch_rows=args.batch_rows, allow_incomplete=args.allow_incomplete)
    except KeyboardInterrupt:
        if store is not None and store.commits:
            raise CommandError(f"interrupted once the load was committed; {where} is loaded",
                               EXIT_INTERRUPTED) from None
        raise CommandError(f"interrupted; {where} is unchanged", EXIT_INTERRUPTED) from None
    except Exception as e:
        described = stores.describe_error(e)
        if described is None:
            raise
        machine, line = described
        if isinstance(e, Error):
            line = wording(args).describe(e)
        if isinstance(e, dump.IncompleteDumpError):
            line += " (--allow-incomplete loads the rows before the cut)"
        line = scrub(line, url_secrets(args.into))  # a driver's error may quote the password
        raise CommandError(f"{line}; {where} is unchanged", EXIT_FAILED if machine else EXIT_USAGE) from None
    finally:
        if store is not None:
            store.close()
    seconds = time.monotonic() - start
    if store.incomplete is not None:
        print(f"zemo-etl load: warning: {store.incomplete}; --allow-incomplete: {result.rows} rows loaded",
              file=sys.stderr)
    made = "created and loaded" if result.created else "loaded"
    print(f"{made} {inert(args.table)}: {result.rows} rows into {inert(store.name)} in {seconds:.1f} s")
    return 0
