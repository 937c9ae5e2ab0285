from zemo_etl import fuzzy as fuzzy
from zemo_etl import import_utils as import_utils
from zemo_etl import parser as parser
from zemo_etl import pg as pg
from zemo_etl import schema as schema
from zemo_etl import state as state
from zemo_etl import text as text

__all__ = ["text", "parser", "pg", "state", "import_utils", "schema", "fuzzy"]
