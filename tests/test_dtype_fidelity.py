"""Frames come back from query() in the dtypes they were stored in, where that
loses nothing; store() also takes pyarrow.Table and Polars frames."""

import datetime
import decimal
import io

import duckdb
import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from brindle.cellarage import PersistenceCoordinator
from brindle.config import BrindleConfig, CacheConfigResolver
from manager_support import make_manager  # noqa: F401

NA = None


def every_dtype():
    """One column of each pandas dtype we can build, with a missing value where the dtype has one."""
    dates = pd.to_datetime(["2020-01-01 10:00", "2020-06-02 12:30", None])
    columns = {f"n_{t}": np.array([1, 2, 3], dtype=t) for t in
               ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float32", "float64")}
    columns.update({f"x_{t}": pd.array([1, NA, 3], dtype=t) for t in
                    ("Int8", "Int16", "Int32", "Int64", "UInt8", "UInt16", "UInt32", "UInt64")})
    columns.update({
        "full_int64": pd.array([1, 2, 3], dtype="Int64"),
        "x_float32": pd.array([1.5, NA, 3], dtype="Float32"), "x_float64": pd.array([1.5, NA, 3], dtype="Float64"),
        "flag": [True, False, True], "x_flag": pd.array([True, NA, False], dtype="boolean"),
        "obj_str": pd.Series(["a", NA, "c"], dtype=object), "str": pd.Series(["a", NA, "c"], dtype="str"),
        "string": pd.Series(["a", NA, "c"], dtype="string"),
        "cat": pd.Categorical(["a", "b", NA]),
        "ordered_cat": pd.Categorical(["lo", "hi", "lo"], categories=["lo", "hi"], ordered=True),
        "int_cat": pd.Categorical([1, 2, NA]),
        "ts_ns": dates.as_unit("ns"), "ts_us": dates.as_unit("us"), "ts_ms": dates.as_unit("ms"),
        "ts_s": dates.as_unit("s"), "ts_tz": dates.tz_localize("Europe/Paris"),
        "ts_utc": dates.tz_localize("UTC").as_unit("ns"),
        "day": pd.Series([datetime.date(2020, 1, 1), NA, datetime.date(2021, 2, 3)], dtype=object),
        "span": pd.to_timedelta([1, 2, NA], unit="s"),
    })
    return pd.DataFrame(columns)


def natural(df):
    """What plain DuckDB answers for the frame."""
    con = duckdb.connect()
    con.register("f", df)
    return con.execute("SELECT * FROM f").df()


def same_values(left, right):
    assert left.isna().tolist() == right.isna().tolist()
    assert [str(v) for v in left.dropna()] == [str(v) for v in right.dropna()]


def coordinator():
    return PersistenceCoordinator(BrindleConfig(), CacheConfigResolver(None))


def parquet_round_trip(df):
    p = coordinator()
    return p._deserialize_df(p._serialize_df(df))


@pytest.fixture(params=["per_table_db", "single_db"])
def manager(request, make_manager):
    return make_manager(default_mode=request.param)


def with_gaps(df):
    """pandas joins same-dtype columns in one block; here they sit apart."""
    df.insert(0, "n_extra", np.arange(3))
    df.insert(2, "n_extra2", np.arange(3))
    return df.copy()


LAYOUTS = {"built": lambda df: df, "reversed": lambda df: df[list(df.columns[::-1])].copy(), "gaps": with_gaps}


@pytest.mark.parametrize("warm", [False, True], ids=["stored", "parquet_warmed"])
@pytest.mark.parametrize("columns", [None, "listed"])
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_every_dtype_comes_back_as_stored_or_as_duckdb_gives_it(manager, warm, columns, layout):
    stored = LAYOUTS[layout](every_dtype())
    given = parquet_round_trip(stored) if warm else stored
    manager.store("db", "t", given)
    asked = list(stored.columns) if columns else None
    plain = natural(stored)
    for attempt in range(3):  # the later ones are answered from the result cache
        answer = manager.query("db", "t", columns=asked)
        for name in stored.columns:
            got = answer[name]
            assert got.dtype in (stored[name].dtype, plain[name].dtype), name
            same_values(got, stored[name])
    # Every dtype DuckDB changes losslessly is given back.
    assert [n for n in stored.columns if answer[n].dtype != stored[n].dtype] == []


@pytest.mark.parametrize("columns, restored", [
    (["ts_tz"], True), (['"ts_tz"'], True), (["ts_tz AS ts_tz"], False), (["ts_tz", "x_Int64 AS ts_tz"], True),
    (["x_Int64 AS ts_tz", "ts_tz"], False),
    (["*"], False), (["ts_tz + INTERVAL 1 HOUR AS ts_tz"], False),
])
def test_only_columns_read_straight_are_restored(manager, columns, restored):
    manager.store("db", "t", every_dtype())
    answer = manager.query("db", "t", columns=columns)
    got = answer.dtypes[answer.columns == "ts_tz"]
    assert any(str(d) == "datetime64[us, Europe/Paris]" for d in got) == restored


def test_a_computed_column_of_a_stored_name_is_never_made_lossy(manager):
    manager.store("db", "t", pd.DataFrame({"n": pd.array([1, 2], dtype="Int64"), "c": pd.Categorical([1, 2])}))
    answer = manager.query("db", "t", columns=["n * 1.5 AS n", "c + 1 AS c"])
    assert answer["n"].tolist() == [1.5, 3.0] and answer["c"].tolist() == [2, 3]


def test_dtypes_go_with_the_table(make_manager):
    manager = make_manager(default_mode="single_db")
    manager.store("db", "t", pd.DataFrame({"d": pd.array([1, 2], dtype="Int64")}))
    assert manager.query("db", "t")["d"].dtype == "Int64"
    manager.execute_sql("db", "CREATE OR REPLACE TABLE t AS SELECT 1.5 AS d")
    assert manager.query("db", "t")["d"].tolist() == [1.5]
    manager.store("db", "t", pd.DataFrame({"d": pd.array([1, 2], dtype="Int64")}))
    manager.invalidate("db", "t")
    manager.store("db", "t", pd.DataFrame({"d": [1, 2]}))
    assert manager.query("db", "t")["d"].dtype == "int64"
    assert manager.execute_sql("db", "SELECT d FROM t")["d"].dtype == "int64"


class FakePolarsFrame:
    """Stands in for polars.DataFrame: known by its module and to_arrow()."""
    __module__ = "polars.dataframe.frame"

    def __init__(self, table):
        self.table = table

    def to_arrow(self):
        return self.table


ARROW = pa.table({"id": [1, 2, 3], "name": ["a", "b", None]})


@pytest.mark.parametrize("make", [lambda: ARROW, lambda: FakePolarsFrame(ARROW)], ids=["arrow", "polars"])
def test_store_takes_arrow_and_polars(make_manager, tmp_path, make):
    databases = {"db": {"in_memory": True, "tables": {"t": {"persist": True}}}}
    m = make_manager(persist_base_path=str(tmp_path), databases=databases)
    m.store("db", "t", make())
    m.store("db", "empty", pa.table({"id": pa.array([], pa.int64())}))
    assert m.query("db", "t", sql_where="id > 1")["name"].isna().tolist() == [False, True]
    assert len(m.query("db", "empty")) == 0
    m.get_or_load("db", "loaded", make)
    assert m.query("db", "loaded", columns=["id"])["id"].tolist() == [1, 2, 3]
    assert pd.read_parquet(tmp_path / "db" / "t.parquet")["id"].tolist() == [1, 2, 3]


def test_real_polars_frame(make_manager):
    pl = pytest.importorskip("polars")
    m = make_manager()
    m.store("db", "t", pl.DataFrame({"id": [1, 2]}))
    assert m.query("db", "t")["id"].tolist() == [1, 2]


class NotPolars(FakePolarsFrame):
    __module__ = "polarsish"


@pytest.mark.parametrize("df", [NotPolars(ARROW), FakePolarsFrame("no table"), ARROW.to_batches()[0]])
def test_other_frames_are_a_type_error(make_manager, df):
    m = make_manager()
    with pytest.raises(TypeError, match="argument 'df' must be a pandas DataFrame, a pyarrow.Table or a Polars"):
        m.store("db", "t", df)


def test_files_written_before_keep_loading():
    stored = every_dtype()
    buffer = io.BytesIO()
    stored.to_parquet(buffer, index=False)  # as an older process wrote it
    read = coordinator()._deserialize_df(buffer.getvalue())
    assert read["ts_s"].dtype == "datetime64[s]" and read["obj_str"].dtype == object
    # What the coordinator writes stays readable by plain pandas.
    plain = pd.read_parquet(io.BytesIO(coordinator()._serialize_df(stored)))
    assert list(plain.columns) == list(stored.columns) and plain["int_cat"].tolist()[:2] == [1, 2]
