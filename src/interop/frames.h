// Arguments that must be frames: a pandas DataFrame, a pyarrow.Table, or a
// Polars DataFrame (taken as the Arrow table it hands over).
#pragma once

#include "args.h"
#include "module.h"

namespace brindle::interop {

namespace frames_detail {

inline const Name kPd{"pd"};
inline const Name kDataFrame{"DataFrame"};
inline const Name kTable{"Table"};
inline const Name kModule{"__module__"};
inline const Name kToArrow{"to_arrow"};
inline const Name kEmpty{"empty"};
inline const Name kNumRows{"num_rows"};
inline const Name kColumnNames{"column_names"};
inline const Name kColumns{"columns"};

constexpr const char *kExpected = "a pandas DataFrame, a pyarrow.Table or a Polars DataFrame";

inline bool is_instance(nb::handle obj, nb::handle cls) {
    int found = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (found < 0)
        throw_pending();
    return found != 0;
}

// Polars is no dependency: a frame is known by the module its type comes
// from, and nothing of Polars is imported to tell.
inline bool is_polars_frame(nb::handle obj) {
    PyObject *module = PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr())), kModule.ptr());
    if (!module) {
        PyErr_Clear();
        return false;
    }
    nb::object owned = nb::steal(module);
    if (!PyUnicode_Check(module))
        return false;
    std::string_view name = str_view(owned);
    return (name == "polars" || name.substr(0, 7) == "polars.") &&
           PyObject_HasAttr(obj.ptr(), kToArrow.ptr());
}

}  // namespace frames_detail

// A pyarrow.Table (of the pyarrow imported now; pyarrow is a dependency).
inline bool is_arrow_table(nb::handle obj) {
    using namespace frames_detail;
    if (is_instance(obj, attr(this_module().get(kPd), kDataFrame)))
        return false;
    return is_instance(obj, attr(import("pyarrow"), kTable));
}

// Argument i as a frame DuckDB can read: a pandas DataFrame of the module's
// `pd` (so a patched pandas is respected) or a pyarrow.Table, as given; a
// Polars DataFrame as its to_arrow() table. TypeError otherwise, before
// anything happens.
inline nb::object frame_arg(const Args &a, size_t i) {
    using namespace frames_detail;
    nb::handle v = a[i];
    nb::object data_frame = attr(this_module().get(kPd), kDataFrame);
    if (is_instance(v, data_frame) || is_instance(v, attr(import("pyarrow"), kTable)))
        return nb::borrow(v);
    if (is_polars_frame(v)) {
        nb::object table = call_method(v, kToArrow);
        if (is_instance(table, attr(import("pyarrow"), kTable)))
            return table;
    }
    a.instance_of(i, data_frame, kExpected);  // raises: it is none of them
    return nb::borrow(v);
}

// No rows or no columns, as DataFrame.empty tells; for an Arrow table, no rows
// or no columns too.
inline bool frame_is_empty(nb::handle df) {
    using namespace frames_detail;
    if (!is_arrow_table(df))
        return truth(attr(df, kEmpty));
    PyObject *width = PyObject_GetAttr(df.ptr(), kColumnNames.ptr());
    if (!width)
        throw_pending();
    nb::object names = nb::steal(width);
    return !truth(attr(df, kNumRows)) || PyObject_Length(names.ptr()) == 0;
}

// The frame's column labels: DataFrame.columns, or an Arrow table's
// column_names (its `columns` are the column arrays).
inline nb::object frame_column_labels(nb::handle df) {
    using namespace frames_detail;
    return attr(df, is_arrow_table(df) ? kColumnNames : kColumns);
}

}  // namespace brindle::interop
