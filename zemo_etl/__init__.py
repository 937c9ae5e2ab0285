"""Native hot paths of the zemo ETL pipeline.

Importing the package loads the extension, which registers its submodules as
``zemo_etl.text``, ``zemo_etl.fuzzy`` and so on.
"""

from zemo_etl import _native
from zemo_etl._native import fuzzy, import_utils, parser, pg, schema, state, text

__all__ = ["text", "parser", "pg", "state", "import_utils", "schema", "fuzzy"]
