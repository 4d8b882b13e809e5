import logging
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Union

import pandas as pd
from duckdb import DuckDBPyConnection

from brindle.errors import BrindleError, BrindleNotFoundError

class CacheQuery:
    logger: logging.Logger
    def __init__(self) -> None: ...
    def query(self, connection: DuckDBPyConnection, table: str, sql_where: Optional[str] = None, columns: Optional[List[str]] = None, limit: Optional[int] = None, *, params: Optional[Union[Sequence[Any], Dict[str, Any]]] = None) -> pd.DataFrame: ...
    def execute_sql(self, connection: DuckDBPyConnection, sql: str, params: Optional[Union[Sequence[Any], Dict[str, Any]]] = None) -> pd.DataFrame: ...
    def get_table_info(self, connection: DuckDBPyConnection, table: str) -> Dict[str, Any]: ...
