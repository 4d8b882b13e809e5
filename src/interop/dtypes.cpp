// The dtypes of a stored pandas frame, and answers read back given them again.
#include "dtypes.h"
#include "errors.h"

#include <string_view>

namespace brindle::interop {
namespace {

const Name kDataFrame{"DataFrame"};
const Name kColumns{"columns"};
const Name kDtypes{"dtypes"};
const Name kDtype{"dtype"};
const Name kKind{"kind"};
const Name kIloc{"iloc"};
const Name kApi{"api"};
const Name kTypes{"types"};
const Name kInferDtype{"infer_dtype"};
const Name kPandasDtype{"pandas_dtype"};
const Name kCategoricalDtype{"CategoricalDtype"};
const Name kCategories{"categories"};
const Name kOrdered{"ordered"};
const Name kTolist{"tolist"};
const Name kAstype{"astype"};
const Name kEquals{"equals"};
const Name kIsin{"isin"};
const Name kIsna{"isna"};
const Name kNotna{"notna"};
const Name kAll{"all"};
const Name kDt{"dt"};
const Name kNormalize{"normalize"};
const Name kArray{"array"};
const Name kCast{"cast"};
const Name kDate32{"date32"};
const Name kToPandas{"to_pandas"};
const Name kToNumpy{"to_numpy"};
const Name kSeries{"Series"};
const Name kIndex{"index"};
const Name kName{"name"};
const Name kTz{"tz"};
const Name kWhere{"where"};
const Name kIsetitem{"isetitem"};
const Name kDatesKey{"dates"};
const Name kDtypeKey{"dtype"};
const Name kGet{"get"};
const Name kMgr{"_mgr"};
const Name kGetDtypes{"get_dtypes"};
const Name kBlocks{"blocks"};
const Name kMgrLocs{"mgr_locs"};
const Name kIndexer{"indexer"};

nb::object pandas() { return import("pandas"); }

std::string_view kind_of(nb::handle dtype) {
    PyObject *kind = PyObject_GetAttr(dtype.ptr(), kKind.ptr());
    if (!kind) {
        PyErr_Clear();
        return {};
    }
    nb::object owned = nb::steal(kind);  // an interned one-letter str the dtype keeps
    return PyUnicode_Check(kind) ? str_view(owned) : std::string_view();
}

bool is_categorical(nb::handle pd, nb::handle dtype) {
    return PyObject_IsInstance(dtype.ptr(), attr(pd, kCategoricalDtype).ptr()) == 1;
}

nb::object column_at(nb::handle frame, Py_ssize_t i) {
    return attr(frame, kIloc)[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::int_(i))];
}

// What an object column holds, as pandas.api.types.infer_dtype names it.
std::string object_kind(nb::handle pd, nb::handle column) {
    nb::object infer = attr(attr(attr(pd, kApi), kTypes), kInferDtype);
    return to_text(infer(column, nb::arg("skipna") = py_bool(true)));
}

// The column in its kept dtype; invalid when it cannot be converted.
nb::object converted(nb::handle pd, nb::handle column, const KeptDtype &kept) {
    nb::object now = attr(column, kDtype);
    if (kept.dates) {
        if (kind_of(now) != "M" || !is_none(attr(attr(column, kDt), kTz)))
            return nb::object();
        // Only whole days are dates: anything else would lose its time.
        if (!truth(call_method(call_method(attr(column, kDt), kNormalize), kEquals, column)))
            return nb::object();
        // Built by pyarrow, ten times quicker than Series.dt.date; NaT becomes
        // None, as the stored column held it.
        nb::object pa = import("pyarrow");
        nb::object days = call_method(attr(pa, kArray)(column, nb::arg("from_pandas") = true), kCast,
                                      call(attr(pa, kDate32)));
        nb::object values = call_method(days.attr(kToPandas.handle())(nb::arg("date_as_object") = true), kToNumpy);
        return attr(pd, kSeries)(values, nb::arg("index") = attr(column, kIndex), nb::arg("name") = attr(column, kName),
                                 nb::arg("dtype") = make_str("object"));
    }
    if (is_categorical(pd, kept.dtype) && !is_categorical(pd, now)) {
        // A value outside the categories would become missing.
        nb::object known = checked(PyNumber_Or(call_method(column, kIsin, attr(kept.dtype, kCategories)).ptr(),
                                               call_method(column, kIsna).ptr()));
        if (!truth(call_method(known, kAll)))
            return nb::object();
    }
    nb::object out = call_method(column, kAstype, kept.dtype);
    // Objects hold a missing value as None, as the stored column did.
    if (kind_of(kept.dtype) == "O")
        out = call_method(out, kWhere, call_method(column, kNotna), nb::none());
    return out;
}

// Converting back gives the column exactly.
bool loses_nothing(nb::handle column, nb::handle restored) {
    nb::object back = call_method(restored, kAstype, attr(column, kDtype));
    return truth(call_method(back, kEquals, column));
}

const KeptDtype *kept_under(const KeptDtypes &kept, nb::handle label) {
    if (!PyUnicode_Check(label.ptr()))
        return nullptr;
    for (const KeptDtype &k : kept) {
        int same = PyObject_RichCompareBool(k.name.ptr(), label.ptr(), Py_EQ);
        if (same < 0)
            throw_pending();
        if (same)
            return &k;
    }
    return nullptr;
}

bool is_data_frame(nb::handle pd, nb::handle obj) {
    if (PyObject_IsInstance(obj.ptr(), attr(pd, kDataFrame).ptr()) == 1)
        return true;
    PyErr_Clear();
    return false;
}

// The answer's column is in its kept dtype already; a comparison pandas
// fails counts as not.
bool carries_kept_dtype(nb::handle now, const KeptDtype &k) {
    int same = PyObject_RichCompareBool(now.ptr(), k.dtype.ptr(), Py_EQ);
    if (same < 0)
        PyErr_Clear();
    return same == 1;
}

// Column i back in its kept dtype, in place, when that loses nothing; a
// conversion pandas refuses leaves it as it is.
void restore_column(nb::handle pd, nb::handle frame, Py_ssize_t i, const KeptDtype &k) {
    ignore_failure([&] {
        nb::object column = column_at(frame, i);
        nb::object restored = converted(pd, column, k);
        // Dates were checked to be whole days on the way.
        if (restored.is_valid() && (k.dates || loses_nothing(column, restored)))
            call_method(frame, kIsetitem, nb::int_(i), restored);
    });
}

bool is_plain_json(nb::handle value) {
    return PyUnicode_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr()) || PyBool_Check(value.ptr()) ||
           PyFloat_CheckExact(value.ptr());
}

// Puts `dtype` at each of the positions `indexer` (a block's placement: a
// slice, or an array of positions) names; false when a position is out of
// range or already taken.
bool place_block(PyObject *indexer, nb::handle dtype, std::vector<PyObject *> &by_position) {
    auto place = [&](Py_ssize_t i) {
        if (i < 0 || i >= static_cast<Py_ssize_t>(by_position.size()) || by_position[i])
            return false;
        by_position[i] = dtype.ptr();
        return true;
    };
    if (PySlice_Check(indexer)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(indexer, &start, &stop, &step) < 0)
            throw_pending();
        Py_ssize_t count = PySlice_AdjustIndices(static_cast<Py_ssize_t>(by_position.size()), &start, &stop, step);
        for (Py_ssize_t n = 0, i = start; n < count; ++n, i += step)
            if (!place(i))
                return false;
        return true;
    }
    nb::object positions = checked(PySequence_List(indexer));
    for (Py_ssize_t n = 0; n < PyList_GET_SIZE(positions.ptr()); ++n) {
        Py_ssize_t i = PyNumber_AsSsize_t(PyList_GET_ITEM(positions.ptr(), n), PyExc_IndexError);
        if ((i == -1 && PyErr_Occurred()) || !place(i))
            return false;
    }
    return true;
}

// The dtypes in column order from pandas' blocks and their placements,
// without the position-to-block map get_dtypes() builds on a new frame (the
// dearest part of reading a fresh answer's dtypes). Invalid when the
// manager does not have that shape.
nb::object dtypes_from_blocks(nb::handle manager, Py_ssize_t width) {
    nb::object blocks = optional_attr(manager, kBlocks);
    if (!blocks.is_valid() || !PyTuple_Check(blocks.ptr()))
        return nb::object();
    std::vector<PyObject *> by_position(static_cast<size_t>(width), nullptr);  // borrowed from the blocks
    std::vector<nb::object> dtypes;  // keeps each block's dtype alive meanwhile
    for (Py_ssize_t b = 0; b < PyTuple_GET_SIZE(blocks.ptr()); ++b) {
        nb::handle block = PyTuple_GET_ITEM(blocks.ptr(), b);
        nb::object placement = optional_attr(block, kMgrLocs);
        nb::object indexer = placement.is_valid() ? optional_attr(placement, kIndexer) : nb::object();
        if (!indexer.is_valid())
            return nb::object();
        dtypes.push_back(attr(block, kDtype));
        if (!place_block(indexer.ptr(), dtypes.back(), by_position))
            return nb::object();
    }
    nb::object in_order = checked(PyList_New(width));
    for (Py_ssize_t i = 0; i < width; ++i) {
        if (!by_position[i])
            return nb::object();
        Py_INCREF(by_position[i]);
        PyList_SET_ITEM(in_order.ptr(), i, by_position[i]);
    }
    return in_order;
}

nb::object dtypes_from_manager(nb::handle manager, Py_ssize_t width) {
    nb::object get = optional_attr(manager, kGetDtypes);
    if (!get.is_valid())
        return nb::object();
    nb::object dtypes = call(get);
    if (!PySequence_Check(dtypes.ptr()) || PySequence_Length(dtypes.ptr()) != width)
        return nb::object();
    return checked(PySequence_List(dtypes.ptr()));
}

}  // namespace

nb::object frame_dtypes(nb::handle frame, Py_ssize_t width) {
    nb::object in_order;
    ignore_failure([&] {
        nb::object manager = optional_attr(frame, kMgr);
        if (!manager.is_valid())
            return;
        if (width < 0)
            width = PyObject_Length(attr(frame, kColumns).ptr());
        if (width < 0)
            throw_pending();
        in_order = dtypes_from_blocks(manager, width);
        if (!in_order.is_valid())
            in_order = dtypes_from_manager(manager, width);
    });
    return in_order.is_valid() ? in_order : checked(PySequence_List(attr(frame, kDtypes).ptr()));
}

KeptDtypes dtypes_to_keep(nb::handle df) {
    KeptDtypes kept;
    nb::object pd = pandas();
    if (!is_data_frame(pd, df))
        return kept;
    nb::object labels = checked(PySequence_List(attr(df, kColumns).ptr()));
    nb::object dtypes = frame_dtypes(df);
    nb::object numpy_dtype = attr(import("numpy"), kDtype);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels.ptr()); ++i) {
        nb::handle label = PyList_GET_ITEM(labels.ptr(), i), dtype = PyList_GET_ITEM(dtypes.ptr(), i);
        if (!PyUnicode_Check(label.ptr()))
            continue;
        std::string_view kind = kind_of(dtype);
        bool numpy_type = PyObject_IsInstance(dtype.ptr(), numpy_dtype.ptr()) == 1;
        if (numpy_type && (kind == "i" || kind == "u" || kind == "f" || kind == "b"))
            continue;
        bool dates = false;
        if (numpy_type && kind == "O") {
            std::string holds = object_kind(pd, column_at(df, i));
            if (holds != "string" && holds != "date")
                continue;
            dates = holds == "date";
        }
        kept.push_back({nb::borrow(label), nb::borrow(dtype), dates, i, PyList_GET_SIZE(labels.ptr())});
    }
    return kept;
}

void restore_dtypes(nb::handle frame, const KeptDtypes &kept,
                    const std::function<bool(Py_ssize_t, nb::handle)> &straight) {
    if (kept.empty())
        return;
    nb::object pd = pandas();
    if (!is_data_frame(pd, frame))
        return;
    nb::object labels = checked(PySequence_List(attr(frame, kColumns).ptr()));
    nb::object dtypes;  // read once a column is found to need it
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels.ptr()); ++i) {
        nb::handle label = PyList_GET_ITEM(labels.ptr(), i);
        const KeptDtype *k = kept_under(kept, label);
        if (!k || !straight(i, label))
            continue;
        if (!dtypes.is_valid())
            dtypes = frame_dtypes(frame);
        if (!carries_kept_dtype(PyList_GET_ITEM(dtypes.ptr(), i), *k))
            restore_column(pd, frame, i, *k);
    }
}

void restore_dtypes_in_stored_order(nb::handle frame, const KeptDtypes &kept) {
    if (kept.empty())
        return;
    nb::object pd = pandas();
    if (!is_data_frame(pd, frame))
        return;
    nb::object labels = attr(frame, kColumns);
    Py_ssize_t width = PyObject_Length(labels.ptr());
    if (width < 0)
        throw_pending();
    bool placed = true;
    for (const KeptDtype &k : kept)
        placed = placed && k.position >= 0 && k.position < width && k.width == width;
    if (!placed) {
        restore_dtypes(frame, kept, [](Py_ssize_t, nb::handle) { return true; });
        return;
    }
    nb::object dtypes = frame_dtypes(frame, width);
    for (const KeptDtype &k : kept) {
        if (carries_kept_dtype(PyList_GET_ITEM(dtypes.ptr(), k.position), k))
            continue;
        // Only now that a column needs converting is its label worth reading.
        nb::object label = checked(PySequence_GetItem(labels.ptr(), k.position));
        int named = PyObject_RichCompareBool(label.ptr(), k.name.ptr(), Py_EQ);
        if (named < 0)
            throw_pending();
        if (named)
            restore_column(pd, frame, k.position, k);
    }
}

nb::object describe_dtypes(const KeptDtypes &kept) {
    nb::object pd = pandas();
    nb::dict described;
    for (const KeptDtype &k : kept) {
        nb::dict entry;
        if (k.dates) {
            entry[kDatesKey.handle()] = py_bool(true);
        } else if (is_categorical(pd, k.dtype)) {
            nb::object categories = call_method(attr(k.dtype, kCategories), kTolist);
            bool plain = true;
            for (nb::handle c : categories)
                plain = plain && is_plain_json(c);
            if (!plain)
                continue;
            entry[kCategories.handle()] = categories;
            entry[kOrdered.handle()] = py_bool(truth(attr(k.dtype, kOrdered)));
        } else {
            entry[kDtypeKey.handle()] = make_str(to_text(k.dtype));
        }
        described[k.name] = entry;
    }
    return described;
}

KeptDtypes read_described_dtypes(nb::handle described) {
    KeptDtypes kept;
    if (!PyDict_Check(described.ptr()))
        return kept;
    nb::object pd = pandas();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(described.ptr(), &pos, &key, &value)) {
        nb::handle name = key, entry = value;
        if (!PyUnicode_Check(key) || !PyDict_Check(value))
            continue;
        ignore_failure([&] {
            nb::object dtype = call_method(entry, kGet, kDtypeKey.handle());
            nb::object categories = call_method(entry, kGet, kCategories.handle());
            if (truth(call_method(entry, kGet, kDatesKey.handle())))
                kept.push_back({nb::borrow(name), make_str("object"), true});
            else if (PyList_Check(categories.ptr()))
                kept.push_back({nb::borrow(name),
                                attr(pd, kCategoricalDtype)(categories, nb::arg("ordered") = py_bool(truth(
                                                                            call_method(entry, kGet, kOrdered.handle())))),
                                false});
            else if (PyUnicode_Check(dtype.ptr()))
                kept.push_back({nb::borrow(name), attr(attr(attr(pd, kApi), kTypes), kPandasDtype)(dtype), false});
        });
    }
    return kept;
}

}  // namespace brindle::interop
