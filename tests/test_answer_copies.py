"""Every answer from the result cache is a frame of its own: whatever a caller
does to it, in place or to its shape and labels, the next answer is as DuckDB
gave it."""

import pandas as pd
import pytest

from manager_support import make_manager  # noqa: F401

ASKS = 4


def wide_frame():
    return pd.DataFrame({
        "id": [1, 2, 3],
        "n": pd.array([1, None, 3], dtype="Int64"),
        "x": [0.5, 1.5, 2.5],
        "s": ["a", "b", None],
        "at": pd.to_datetime(["2026-01-01", "2026-01-02", "2026-01-03"]),
        "flag": [True, False, True],
    })


def set_value(df):
    df.iloc[0, 0] = 99


def set_column(df):
    df["x"] = -1.0


def add_column(df):
    df["extra"] = 1


def drop_column(df):
    del df["s"]


def rename_index(df):
    df.index.name = "row"


def rename_columns(df):
    df.columns = [f"c{i}" for i in range(len(df.columns))]


def name_columns_axis(df):
    df.columns.name = "field"


def set_attrs(df):
    df.attrs["source"] = "caller"


def refuse_duplicate_labels(df):
    df.flags.allows_duplicate_labels = False


def write_text_array(df):
    df["s"].array[0] = "changed"


def write_nullable_in_place(df):
    df.iat[1, 1] = 7


def insert_column(df):
    df.insert(0, "first", 0)


@pytest.mark.parametrize("change", [set_value, set_column, add_column, drop_column, rename_index, rename_columns,
                                    name_columns_axis, set_attrs, refuse_duplicate_labels, write_text_array,
                                    write_nullable_in_place, insert_column])
def test_what_a_caller_does_to_an_answer_never_reaches_the_next(make_manager, change):
    m = make_manager()
    m.store("db", "t", wide_frame())
    answers = [m.query("db", "t", sql_where="id > 0") for _ in range(ASKS)]
    assert next(s for s in m.stats() if s["table"] == "t")["result_cache_hits"] == 2
    expected = answers[0].copy(deep=True)
    for answer in answers:
        change(answer)
    again = m.query("db", "t", sql_where="id > 0")
    pd.testing.assert_frame_equal(again, expected)
    assert again.index.name is None and again.columns.name is None
    assert again.attrs == {} and again.flags.allows_duplicate_labels
    change(again)  # an answer from the cache can be changed like any frame
    pd.testing.assert_frame_equal(m.query("db", "t", sql_where="id > 0"), expected)
