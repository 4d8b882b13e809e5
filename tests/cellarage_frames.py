"""Frames for round-trip tests of brindle.cellarage (both storage paths)."""

import numpy as np
import pandas as pd


def mixed_frame():
    """One column per kind of data a service caches, with a non-default index."""
    return pd.DataFrame(
        {
            "ints": np.array([1, -2, 3], dtype="int64"),
            "small_ints": np.array([1, 2, 3], dtype="int32"),
            "floats": [1.5, np.nan, -3.25],
            "nullable_ints": pd.array([1, None, 3], dtype="Int64"),
            "strings": ["a", None, "ünï"],
            "bools": [True, False, True],
            "nullable_bools": pd.array([True, None, False], dtype="boolean"),
            "naive_times": [pd.Timestamp("2024-01-01 10:00"), pd.Timestamp("2024-06-01 12:30:00.123456"), pd.NaT],
            "nano_times": pd.array([pd.Timestamp("2024-01-01 00:00:00.000000001"), pd.NaT, pd.NaT],
                                   dtype="datetime64[ns]"),
            "zoned_times": [pd.Timestamp("2024-01-01 10:00", tz="Europe/Berlin"),
                            pd.Timestamp("2024-07-01 10:00", tz="Europe/Berlin"), pd.NaT],
            "labels": pd.Categorical(["x", "y", "x"]),
            "ordered_labels": pd.Categorical(["lo", "hi", "lo"], categories=["lo", "mid", "hi"], ordered=True),
        },
        index=[10, 20, 30],
    )


def expected_after_round_trip(df):
    """What pandas' Parquet round trip gives back for `df`.

    The index is not stored, so a default RangeIndex comes back. Every column
    of mixed_frame keeps its dtype (str stays str, categoricals keep their
    categories and order, time zones and units survive). Two changes pandas
    makes on its own, checked separately: an object column of strings comes
    back as the str dtype, and a categorical with non-string categories comes
    back as its plain values' dtype.
    """
    return df.reset_index(drop=True)


def changed_dtype_frame():
    return pd.DataFrame(
        {
            "object_strings": pd.Series(["a", None, "c"], dtype=object),
            "int_labels": pd.Categorical([1, 2, 1]),
        }
    )


def expected_changed_dtypes(df):
    """pandas reads these back as str and int64; brindle's reader gives the
    stored dtypes back (object strings from pandas' metadata, the categories
    from the record the writer keeps)."""
    return df


def expected_empty_after_round_trip(df):
    """An empty frame keeps every dtype but one: a categorical column loses its
    categories (nothing refers to them, so the Parquet dictionary is empty) and
    comes back with no categories of object dtype, keeping its order flag."""
    out = df.reset_index(drop=True)
    for name in out.columns:
        if isinstance(out[name].dtype, pd.CategoricalDtype):
            empty = pd.CategoricalDtype(pd.Index([], dtype=object), ordered=out[name].dtype.ordered)
            out[name] = pd.Series(pd.Categorical([], dtype=empty))
    return out
