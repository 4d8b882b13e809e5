// Columns of decimal.Decimal objects, typed from every value.
//
// DuckDB types an object column from a sample of its first rows: a Decimal
// column gets the width of the sampled values, and a wider value later in the
// column fails the whole store ("value is out of range") or is rounded to the
// sampled scale; Decimals of mixed scale can even become FLOAT. Such columns
// are handed to DuckDB as Arrow decimals instead, whose precision and scale
// pyarrow computes from every value, so the table holds each value exactly.
// A column no DECIMAL can hold (more than 38 digits, or an Infinity or NaN
// among its values, which no DECIMAL has) becomes DOUBLE.
#include "interop/dtypes.h"
#include "stowage.h"

#include <algorithm>
#include <cmath>

namespace brindle::stowage {
namespace {

const Name kDtype{"dtype"};
const Name kKind{"kind"};
const Name kApi{"api"};
const Name kTypes{"types"};
const Name kInferDtype{"infer_dtype"};
const Name kIloc{"iloc"};
const Name kArray{"array"};
const Name kArrowDtype{"ArrowDtype"};
const Name kType{"type"};
const Name kPrecision{"precision"};
const Name kByteWidth{"byte_width"};
const Name kAstype{"astype"};
const Name kCopy{"copy"};
const Name kIsetitem{"isetitem"};
const Name kValues{"values"};
const Name kDecimal{"Decimal"};
const Name kNA{"NA"};
const Name kNaT{"NaT"};
const Name kIsFinite{"is_finite"};
const Name kIsNan{"is_nan"};

// The widest DECIMAL DuckDB has.
constexpr long kMaxPrecision = 38;

// How many leading missing values are looked through before the column's
// first value is left to infer_dtype to find.
constexpr Py_ssize_t kLeadingMissingLooked = 1000;

// pandas' missing-value markers besides None and NaN.
struct Missing {
    explicit Missing(nb::handle pandas) : na(attr(pandas, kNA)), nat(attr(pandas, kNaT)) {}

    bool operator()(nb::handle value) const {
        if (is_none(value))
            return true;
        if (PyFloat_Check(value.ptr()))
            return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
        return value.ptr() == na.ptr() || value.ptr() == nat.ptr();
    }

    nb::object na, nat;
};

// Whether the column's first present value rules Decimals out: a column
// holds only Decimals when every present value is one, so a first value of
// another kind answers without a pass over the rest (string columns, most
// of all, where that pass costs as much as the store's own read of them).
bool first_value_is_not_decimal(nb::handle pandas, nb::handle column) {
    nb::object values = attr(column, kValues);
    Py_ssize_t length = PyObject_Length(values.ptr());
    if (length < 0)
        throw_pending();
    nb::object decimal = attr(import("decimal"), kDecimal);
    Missing is_missing(pandas);
    for (Py_ssize_t i = 0; i < std::min(length, kLeadingMissingLooked); ++i) {
        nb::object value = checked(PySequence_GetItem(values.ptr(), i));
        if (is_missing(value))
            continue;
        int is_decimal = PyObject_IsInstance(value.ptr(), decimal.ptr());
        if (is_decimal < 0)
            throw_pending();
        return !is_decimal;
    }
    return false;  // empty, or missing as far as looked: infer_dtype decides
}

bool holds_only_decimals(nb::handle pandas, nb::handle column) {
    if (first_value_is_not_decimal(pandas, column))
        return false;
    nb::object infer = attr(attr(attr(pandas, kApi), kTypes), kInferDtype);
    nb::object kind = infer(column, nb::arg("skipna") = py_bool(true));
    return str_view(kind) == "decimal";
}

// Whether a present value is Infinity or NaN; pandas counts a Decimal NaN
// as missing, but pyarrow, given Infinity, fails the whole column.
bool holds_non_finite(nb::handle pandas, nb::handle values, Py_ssize_t length) {
    Missing is_missing(pandas);
    for (Py_ssize_t i = 0; i < length; ++i) {
        nb::object value = checked(PySequence_GetItem(values.ptr(), i));
        if (!is_missing(value) && !truth(call_method(value, kIsFinite)))
            return true;
    }
    return false;
}

// The column as float64: NaN for missing values and for every NaN (float()
// refuses a signalling one), each other Decimal as float() gives it.
nb::object as_doubles(nb::handle pandas, nb::handle values, Py_ssize_t length) {
    Missing is_missing(pandas);
    nb::object doubles = checked(PyList_New(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        nb::object value = checked(PySequence_GetItem(values.ptr(), i));
        PyObject *converted = is_missing(value) || truth(call_method(value, kIsNan))
                                  ? PyFloat_FromDouble(std::nan(""))
                                  : PyNumber_Float(value.ptr());
        if (!converted)
            throw_pending();
        PyList_SET_ITEM(doubles.ptr(), i, converted);
    }
    return attr(import("numpy"), kArray)(doubles, nb::arg("dtype") = make_str("float64"));
}

// The column as an Arrow-backed pandas array of the narrowest decimal that
// holds every value, or as float64 when none can.
nb::object exact_column(nb::handle pandas, nb::handle column) {
    nb::object values_of_column = attr(column, kValues);
    Py_ssize_t length = PyObject_Length(values_of_column.ptr());
    if (length < 0)
        throw_pending();
    if (holds_non_finite(pandas, values_of_column, length))
        return as_doubles(pandas, values_of_column, length);
    nb::object pyarrow = import("pyarrow");
    nb::object values = attr(pyarrow, kArray)(column, nb::arg("from_pandas") = py_bool(true));
    nb::object type = attr(values, kType);
    long precision = PyLong_AsLong(attr(type, kPrecision).ptr());
    if (precision == -1 && PyErr_Occurred())
        throw_pending();
    if (precision > kMaxPrecision || nb::cast<long>(attr(type, kByteWidth)) > 16)
        return call_method(column, kAstype, make_str("float64"));
    nb::object dtype = attr(pandas, kArrowDtype)(type);
    return attr(pandas, kArray)(values, nb::arg("dtype") = dtype);
}

}  // namespace

nb::object with_exact_decimals(nb::handle df) {
    nb::object pandas = import("pandas");
    nb::object dtypes = frame_dtypes(df);
    nb::object numpy_dtype = attr(import("numpy"), kDtype);
    nb::object iloc = attr(df, kIloc);
    nb::object copy;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dtypes.ptr()); ++i) {
        // Only numpy's object columns hold Python objects as they are; an
        // extension dtype (strings, categories) types its values itself.
        nb::handle dtype = PyList_GET_ITEM(dtypes.ptr(), i);
        int from_numpy = PyObject_IsInstance(dtype.ptr(), numpy_dtype.ptr());
        if (from_numpy < 0)
            throw_pending();
        if (!from_numpy || str_view(attr(dtype, kKind)) != "O")
            continue;
        nb::object column = iloc[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::int_(i))];
        if (!holds_only_decimals(pandas, column))
            continue;
        if (!copy.is_valid())
            copy = call_method(df, kCopy, py_bool(false));
        call_method(copy, kIsetitem, nb::int_(i), exact_column(pandas, column));
    }
    return copy.is_valid() ? copy : nb::borrow(df);
}

}  // namespace brindle::stowage
