"""brindle.joinery as Python sees it, and the exact statements it sends.

Statement texts are checked on a recording stand-in for a connection; the
behaviour on real DuckDB databases is in test_joinery_duckdb.py.
"""

import inspect
import typing
from unittest import mock

import pytest

from brindle import joinery
from child_process import run_child


class StatementFailed(Exception):
    pass


class RecordingConnection:
    """Records execute/register/unregister calls; answers fetches from canned rows.

    `rows` maps a statement prefix to what fetchall()/fetchone() give after it;
    a statement starting with `fail_on` raises.
    """

    def __init__(self, rows=None, fail_on=None):
        self.events = []
        self.rows = rows or {}
        self.fail_on = fail_on
        self._last = None

    @property
    def statements(self):
        return [e[1] for e in self.events if e[0] == "execute"]

    def execute(self, sql):
        self.events.append(("execute", sql))
        if self.fail_on and sql.lstrip().startswith(self.fail_on):
            raise StatementFailed(sql)
        self._last = sql
        return self

    def _answer(self):
        for prefix, rows in self.rows.items():
            if self._last.lstrip().startswith(prefix):
                if isinstance(rows, Exception):
                    raise rows
                return rows
        return []

    def fetchall(self):
        return list(self._answer())

    def fetchone(self):
        rows = self._answer()
        return rows[0] if rows else None

    def register(self, name, obj):
        self.events.append(("register", name, obj))

    def unregister(self, name):
        self.events.append(("unregister", name))


EXISTS = "SELECT name FROM sqlite_master WHERE type='table' AND name='{}'"
SIZE_LOOKUP = (
    "\n        SELECT \n            estimated_size\n        FROM duckdb_tables()\n"
    "        WHERE table_name = '{}'\n    "
)
FRAME = object()  # the functions never look inside the frame themselves


# --- module surface -------------------------------------------------------

SIGNATURES = {
    "create_duckdb_table_from_df": (
        "(connection, table_name: 'str', df: 'pd.DataFrame', if_exists: 'str' = 'replace') -> 'None'"),
    "create_duckdb_view": (
        "(connection, view_name: 'str', select_query: 'str', materialized: 'bool' = False, "
        "replace: 'bool' = True) -> 'None'"),
    "get_duckdb_table_schema": "(connection, table_name: 'str') -> 'Dict[str, str]'",
    "optimize_duckdb_table": "(connection, table_name: 'str')",
    "drop_duckdb_table": "(connection, table_name: 'str', if_exists: 'bool' = True)",
    "get_duckdb_table_info": "(connection, table_name: 'str') -> 'Dict[str, Any]'",
    "create_duckdb_index": (
        "(connection, table_name: 'str', column_name: 'str', index_name: 'Optional[str]' = None)"),
    "export_duckdb_to_parquet": "(connection, table_name: 'str', file_path: 'str')",
    "import_duckdb_from_parquet": (
        "(connection, table_name: 'str', file_path: 'str', if_exists: 'str' = 'replace')"),
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_function_signature_and_annotations(name):
    fn = getattr(joinery, name)
    sig = inspect.signature(fn)
    assert str(sig) == SIGNATURES[name]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    expected = {p.name: p.annotation for p in sig.parameters.values() if p.annotation is not p.empty}
    if sig.return_annotation is not sig.empty:
        expected["return"] = sig.return_annotation
    assert fn.__annotations__ == expected
    assert all(type(v) is str for v in fn.__annotations__.values())
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "brindle.joinery")


def test_module_docstring_and_typing_names():
    assert joinery.__doc__ == (
        "\nDuckDB Table Creation Utilities\n\nHelpers for creating and managing DuckDB tables in cache.\n")
    for name in ("Any", "Dict", "List", "Optional", "Union"):
        assert getattr(joinery, name) is getattr(typing, name)
    public = {k for k in vars(joinery) if not k.startswith("_")}
    assert public == set(SIGNATURES) | {"Any", "Dict", "List", "Optional", "Union"}


def test_importing_the_module_loads_neither_duckdb_nor_pandas(tmp_path):
    probe = "import sys, brindle.joinery; print(sorted({'duckdb', 'pandas', 'logging'} & set(sys.modules)))"
    status, out, err = run_child(probe, tmp_path)
    assert status == 0, err
    assert "duckdb" not in out and "pandas" not in out


# --- statements -----------------------------------------------------------

STATEMENT_CASES = [
    # (call, canned rows, expected statements)
    (lambda c: joinery.create_duckdb_table_from_df(c, "t", FRAME), {},
     ["DROP TABLE IF EXISTS t", "CREATE TABLE t AS SELECT * FROM df"]),
    (lambda c: joinery.create_duckdb_table_from_df(c, "t", FRAME, "append"), {"SELECT name": [("t",)]},
     [EXISTS.format("t"), "INSERT INTO t SELECT * FROM df"]),
    (lambda c: joinery.create_duckdb_table_from_df(c, "t", FRAME, if_exists="append"), {},
     [EXISTS.format("t"), "CREATE TABLE t AS SELECT * FROM df"]),
    (lambda c: joinery.create_duckdb_table_from_df(c, "t", FRAME, "fail"), {},
     ["CREATE TABLE t AS SELECT * FROM df"]),
    (lambda c: joinery.create_duckdb_view(c, "v", "SELECT a FROM t WHERE b = 'x'"), {},
     ["CREATE OR REPLACE VIEW v AS SELECT a FROM t WHERE b = 'x'"]),
    (lambda c: joinery.create_duckdb_view(c, "v", "SELECT 1", materialized=True, replace=False), {},
     ["CREATE MATERIALIZED VIEW v AS SELECT 1"]),
    (lambda c: joinery.create_duckdb_view(c, "v", "SELECT 1", replace=[]), {},
     ["CREATE VIEW v AS SELECT 1"]),
    (lambda c: joinery.optimize_duckdb_table(c, "t"), {}, ["ANALYZE t"]),
    (lambda c: joinery.drop_duckdb_table(c, "t"), {}, ["DROP TABLE IF EXISTS t"]),
    (lambda c: joinery.drop_duckdb_table(c, "t", if_exists=0), {}, ["DROP TABLE t"]),
    (lambda c: joinery.create_duckdb_index(c, "events", "user_id"), {},
     ["CREATE INDEX idx_events_user_id ON events(user_id)"]),
    (lambda c: joinery.create_duckdb_index(c, "events", "user_id", index_name=""), {},
     ["CREATE INDEX  ON events(user_id)"]),
    (lambda c: joinery.export_duckdb_to_parquet(c, "t", "/data/t.parquet"), {},
     ["COPY t TO '/data/t.parquet' (FORMAT PARQUET)"]),
    (lambda c: joinery.import_duckdb_from_parquet(c, "t", "/d/t.parquet"), {},
     ["DROP TABLE IF EXISTS t", "CREATE TABLE t AS SELECT * FROM read_parquet('/d/t.parquet')"]),
    (lambda c: joinery.import_duckdb_from_parquet(c, "t", "/d/t.parquet", "append"), {"SELECT name": [("t",)]},
     [EXISTS.format("t"), "INSERT INTO t SELECT * FROM read_parquet('/d/t.parquet')"]),
    (lambda c: joinery.get_duckdb_table_info(c, "t"), {},
     ["SELECT COUNT(*) FROM t", "DESCRIBE t", SIZE_LOOKUP.format("t")]),
]


@pytest.mark.parametrize("call, rows, expected", STATEMENT_CASES)
def test_statements_sent_verbatim(call, rows, expected):
    c = RecordingConnection(rows)
    call(c)
    assert c.statements == expected


@pytest.mark.parametrize("call, expected", [
    (lambda c, p: joinery.export_duckdb_to_parquet(c, "t", p), "COPY t TO '/d/it''s.parquet' (FORMAT PARQUET)"),
    (lambda c, p: joinery.import_duckdb_from_parquet(c, "t", p, "fail"),
     "CREATE TABLE t AS SELECT * FROM read_parquet('/d/it''s.parquet')"),
])
def test_single_quote_in_path_is_doubled(call, expected):
    c = RecordingConnection()
    call(c, "/d/it's.parquet")
    assert c.statements == [expected]


@pytest.mark.parametrize("call", [
    lambda c: joinery.export_duckdb_to_parquet(c, "t", "/tmp/a\0b.parquet"),
    lambda c: joinery.import_duckdb_from_parquet(c, "t", "/tmp/a\0b.parquet"),
])
def test_path_with_null_character_is_refused(call):
    # The file system would cut the path short and write or read another file.
    c = RecordingConnection()
    with pytest.raises(ValueError, match="null character"):
        call(c)
    assert c.events == []


def test_frame_is_registered_as_df_around_its_statements():
    c = RecordingConnection()
    frame = object()
    joinery.create_duckdb_table_from_df(c, "t", frame)
    assert c.events == [
        ("register", "df", frame),
        ("execute", "DROP TABLE IF EXISTS t"),
        ("execute", "CREATE TABLE t AS SELECT * FROM df"),
        ("unregister", "df"),
    ]


def test_frame_is_unregistered_when_a_statement_fails():
    c = RecordingConnection(fail_on="CREATE")
    with pytest.raises(StatementFailed) as caught:
        joinery.create_duckdb_table_from_df(c, "t", FRAME)
    assert caught.value.args == ("CREATE TABLE t AS SELECT * FROM df",)
    assert c.events[-1] == ("unregister", "df")


@pytest.mark.parametrize("call, message", [
    (lambda c, m: joinery.create_duckdb_table_from_df(c, "t", FRAME, m),
     "Invalid if_exists value: {}. Must be 'replace', 'append', or 'fail'"),
    (lambda c, m: joinery.import_duckdb_from_parquet(c, "t", "/d/t.parquet", m),
     "Invalid if_exists value: {}"),
])
@pytest.mark.parametrize("mode", ["Replace", "APPEND", " fail", ""])
def test_unknown_mode_is_refused_before_any_statement(call, message, mode):
    c = RecordingConnection()
    with pytest.raises(ValueError) as caught:
        call(c, mode)
    assert str(caught.value) == message.format(mode)
    assert c.events == []


class Text(str):
    pass


@pytest.mark.parametrize("call", [
    lambda c: joinery.create_duckdb_table_from_df(c, None, FRAME),
    lambda c: joinery.create_duckdb_table_from_df(c, Text("t"), FRAME),
    lambda c: joinery.create_duckdb_view(c, "v", b"SELECT 1"),
    lambda c: joinery.get_duckdb_table_schema(c, ["t"]),
    lambda c: joinery.drop_duckdb_table(c, Text("t")),
    lambda c: joinery.get_duckdb_table_info(c, 3),
    lambda c: joinery.create_duckdb_index(c, "t", "a", index_name=5),
    lambda c: joinery.create_duckdb_index(c, "t", "a", Text("i")),
    lambda c: joinery.import_duckdb_from_parquet(c, "t", b"/d/t.parquet"),
    lambda c: joinery.import_duckdb_from_parquet(c, "t", "/d/t.parquet", if_exists=1),
])
def test_wrong_argument_types_are_refused_before_any_statement(call):
    c = RecordingConnection()
    with pytest.raises(TypeError):
        call(c)
    assert c.events == []


# --- table summary --------------------------------------------------------

SUMMARY_KEYS = ["table_name", "row_count", "columns", "column_types"]
DESCRIBE_ROWS = [("id", "BIGINT", "YES", None, None, None), ("name", "VARCHAR", "YES", None, None, None)]


@pytest.mark.parametrize("size_rows, expected_size", [
    ([(4096,)], 4096),
    ([(0,)], 0),  # a size of zero is still a size
    ([], None),
    (StatementFailed("no size"), None),
])
def test_summary_keys_and_size_lookup(size_rows, expected_size):
    c = RecordingConnection({"SELECT COUNT": [(3,)], "DESCRIBE": DESCRIBE_ROWS, "SELECT \n": size_rows})
    info = joinery.get_duckdb_table_info(c, "people")
    keys = SUMMARY_KEYS + ([] if expected_size is None else ["estimated_size_bytes"])
    assert list(info) == keys
    assert info["table_name"] == "people"
    assert info["row_count"] == 3
    assert info["column_types"] == {"id": "BIGINT", "name": "VARCHAR"}
    assert info["columns"] == ["id", "name"]
    assert info.get("estimated_size_bytes") == expected_size


def test_summary_counts_zero_rows_when_count_gives_no_row():
    c = RecordingConnection({"DESCRIBE": DESCRIBE_ROWS})
    assert joinery.get_duckdb_table_info(c, "t")["row_count"] == 0


def test_summary_reads_the_schema_through_the_module():
    c = RecordingConnection({"SELECT COUNT": [(1,)]})
    schema = {"z": "DATE", "a": "INTEGER"}
    with mock.patch("brindle.joinery.get_duckdb_table_schema", return_value=schema) as patched:
        info = joinery.get_duckdb_table_info(c, "t")
    patched.assert_called_once_with(c, "t")
    assert info["column_types"] is schema
    assert info["columns"] == ["z", "a"]
