// The dtypes of a stored pandas frame, and answers read back given them again.
//
// DuckDB and Parquet hand some columns back in another dtype than the one they
// were stored in (a time zone as UTC, categories of numbers as floats, dates
// as timestamps, seconds as milliseconds, nullable numbers as numpy ones). A
// frame's kept dtypes are those of its columns that may come back otherwise;
// restoring converts a column back only when the conversion loses nothing.
#pragma once

#include "core.h"

#include <functional>
#include <vector>

namespace brindle::interop {

// One column whose stored dtype an answer may not carry.
struct KeptDtype {
    nb::object name;   // the column label, a str
    nb::object dtype;  // the stored dtype
    bool dates = false;  // an object column of datetime.date values
    // Where the column stood in the stored frame: at `position` of `width`
    // columns; -1 when not known (dtypes read back from a file's record).
    Py_ssize_t position = -1;
    Py_ssize_t width = 0;
};

using KeptDtypes = std::vector<KeptDtype>;

// A pandas DataFrame's column dtypes in column order, as a list, read from
// pandas' block manager: each block's dtype placed at the positions its
// placement names. DataFrame.dtypes wraps them in a new Series each time,
// and the manager's get_dtypes() first builds a position-to-block map, each
// more than the rest of a small query's work in Python. A manager of another
// shape is asked for get_dtypes(), and a frame without one gets the Series'
// values. `width`, when the caller has read it, is len(frame.columns).
nb::object frame_dtypes(nb::handle frame, Py_ssize_t width = -1);

// The columns of a pandas DataFrame that may come back in another dtype:
// every column but those of numpy's integer, float and bool kinds (which come
// back as they went in), and object columns only when they hold strings or
// dates. Empty for a frame that needs no restoring (and for anything that is
// no pandas DataFrame).
KeptDtypes dtypes_to_keep(nb::handle df);

// Gives the frame's columns back the dtype kept under their label, in place.
// Only columns `straight(position, label)` vouches for (read as they were
// stored, not computed) are touched, only when their dtype differs, and only
// when converting the result back gives the column exactly: never a lossy
// change. A conversion pandas refuses leaves the column as it is.
void restore_dtypes(nb::handle frame, const KeptDtypes &kept,
                    const std::function<bool(Py_ssize_t, nb::handle)> &straight);

// restore_dtypes() for an answer that holds every stored column in the
// stored order (SELECT * of the table): kept columns are found at their stored
// position, so an answer that needs nothing is checked without pandas
// building its labels or its dtypes Series, which would cost more than the
// rest of a small query's work in Python.
void restore_dtypes_in_stored_order(nb::handle frame, const KeptDtypes &kept);

// The kept dtypes as plain JSON values ({label: {"dtype": str} or
// {"categories": [...], "ordered": bool} or {"dates": true}}); categories
// that are not all str, int, float or bool are left out.
nb::object describe_dtypes(const KeptDtypes &kept);
// describe_dtypes' answer read back; entries it cannot read are skipped.
KeptDtypes read_described_dtypes(nb::handle described);

}  // namespace brindle::interop
