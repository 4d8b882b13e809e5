// Results to pandas through Arrow, with the dtypes DuckDB's own df() gives.
//
// df() builds its frame value by value in places (a VARCHAR column becomes
// Python strings first); reading the result as Arrow and handing that to
// pyarrow's to_pandas is several times faster, and faster even for a few
// rows. The two differ in dtypes, though, and callers rely on df()'s: so the
// column types are read from the result's description before any row is
// fetched, a result holding a type whose df() dtype we do not reproduce
// exactly goes through df() whole, and the rest are cast in Arrow before
// to_pandas (dates, enums) or mended column by column after it (NULLs in
// integers, all-NULL text, decimals).
#include "duck/duckdb.h"

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <unordered_set>
#include <vector>

namespace brindle::interop::duck {
namespace {

const Name kDescription{"description"};
const Name kId{"id"};
const Name kChildren{"children"};
const Name kResultAsArrow{"_result_as_arrow"};
const Name kToPandas{"to_pandas"};
const Name kColumn{"column"};
const Name kNullCount{"null_count"};
const Name kChunks{"chunks"};
const Name kBuffers{"buffers"};
const Name kOffset{"offset"};
const Name kType{"type"};
const Name kBitWidth{"bit_width"};
const Name kNumRows{"num_rows"};
const Name kIsetitem{"isetitem"};
const Name kFromArrow{"__from_arrow__"};
const Name kCategorical{"Categorical"};
const Name kFull{"full"};
const Name kEmpty{"empty"};
const Name kPandasDtype{"pandas_dtype"};
const Name kFromPandas{"from_pandas"};
const Name kObject{"object"};
const Name kFloat64{"float64"};

// Rows per Arrow batch: DuckDB's own default.
constexpr long kBatchRows = 131072;

// to_pandas on its thread pool costs more than it saves below this many rows
// (measured on 2 cores: 0.56 against 0.33 ms at 10 rows, 1.2 against 1.0 ms
// at 100,000).
constexpr size_t kThreadedRows = 500000;

// What a column needs after to_pandas to carry df()'s dtype and values.
enum class Mend {
    None,      // to_pandas gives df()'s dtype already
    Nullable,  // an integer or boolean: df() gives a nullable dtype when NULLs are present
    Text,      // VARCHAR: df() gives object of None when every value is NULL
    Date,      // df() gives datetime64[us], to_pandas datetime64[ms]: cast to timestamp[us] first
    Enum,      // df()'s categorical is ordered (cast first) and keeps its categories with no rows
    Decimal,   // df() gives float64: the unscaled integer divided by 10^scale
};

struct ColumnPlan {
    Mend mend = Mend::None;
    const char *nullable = nullptr;  // the pandas dtype of a Nullable column
    int scale = 0;                   // of a Decimal column
    bool boolean = false;            // a BOOLEAN, which arrow_lossless_conversion exports as arrow.bool8
    nb::object type;                 // the DuckDB type, for an Enum's values
};

struct NullableType {
    const char *duckdb, *pandas;
};
constexpr NullableType kNullableTypes[] = {
    {"boolean", "boolean"}, {"tinyint", "Int8"},    {"smallint", "Int16"},   {"integer", "Int32"},
    {"bigint", "Int64"},    {"utinyint", "UInt8"},  {"usmallint", "UInt16"}, {"uinteger", "UInt32"},
    {"ubigint", "UInt64"},
};

// Types whose Arrow form to_pandas turns into df()'s dtype and values as they are.
constexpr const char *kPlainTypes[] = {
    "float", "double", "timestamp", "timestamp_s", "timestamp_ms", "timestamp_ns", "timestamp with time zone",
};

// Decimals up to this width are 64-bit integers inside DuckDB, which df()
// divides in double; wider ones (and HUGEINT) it converts another way.
constexpr long kWidestDecimal = 18;

long child_number(nb::handle type, size_t i) {
    nb::object children = attr(type, kChildren);
    nb::object pair = checked(PySequence_GetItem(children.ptr(), static_cast<Py_ssize_t>(i)));
    return PyLong_AsLong(nb::object(pair[1]).ptr());
}

std::optional<ColumnPlan> plan_column(nb::handle type) {
    nb::object id_object = attr(type, kId);
    if (!PyUnicode_Check(id_object.ptr()))
        return std::nullopt;
    std::string_view id = str_view(id_object);
    ColumnPlan plan;
    for (const NullableType &t : kNullableTypes)
        if (id == t.duckdb) {
            plan.mend = Mend::Nullable;
            plan.nullable = t.pandas;
            plan.boolean = id == "boolean";
            return plan;
        }
    for (const char *plain : kPlainTypes)
        if (id == plain)
            return plan;
    if (id == "varchar") {
        plan.mend = Mend::Text;
    } else if (id == "date") {
        plan.mend = Mend::Date;
    } else if (id == "enum") {
        plan.mend = Mend::Enum;
        plan.type = nb::borrow(type);
    } else if (id == "decimal") {
        long width = child_number(type, 0), scale = child_number(type, 1);
        if (PyErr_Occurred())
            throw_pending();
        if (width > kWidestDecimal || scale < 0 || scale > kWidestDecimal)
            return std::nullopt;
        plan.mend = Mend::Decimal;
        plan.scale = static_cast<int>(scale);
    } else {
        return std::nullopt;
    }
    return plan;
}

// df() renames a repeated column name (a, a_1); to_pandas keeps both.
bool names_repeat(nb::handle description) {
    std::unordered_set<std::string> seen;
    for (nb::handle column : description) {
        nb::object name = column[0];
        if (!PyUnicode_Check(name.ptr()))
            return true;
        std::string lowered(str_view(name));
        for (char &c : lowered)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        if (!seen.insert(std::move(lowered)).second)
            return true;
    }
    return false;
}

// Below this many rows df() wins even on text: the Arrow fetch and to_pandas
// cost about 0.35 ms whatever the size (measured on 2 cores against df() on
// a table of one text column among five: 1.35x at 10 rows, 1.09x at 1,000,
// 0.91x at 3,000).
constexpr std::size_t kArrowWorthRows = 2000;

// df() is slow only for the columns it builds value by value (text, dates,
// enums). A result of none of them goes through df(): to_pandas' fixed cost
// (about 0.2 ms) would then outweigh what it saves for the small results
// most queries give.
bool built_value_by_value(const ColumnPlan &plan) {
    return plan.mend == Mend::Text || plan.mend == Mend::Date || plan.mend == Mend::Enum;
}

// A plan for every column, or nothing when the result is to go through df().
std::optional<std::vector<ColumnPlan>> plan_result(nb::handle result) {
    nb::object description = attr(result, kDescription);
    if (is_none(description) || names_repeat(description))
        return std::nullopt;
    std::vector<ColumnPlan> plans;
    bool worth_it = false;
    for (nb::handle column : description) {
        std::optional<ColumnPlan> plan = plan_column(column[1]);
        if (!plan)
            return std::nullopt;
        worth_it = worth_it || built_value_by_value(*plan);
        plans.push_back(std::move(*plan));
    }
    if (!worth_it)
        return std::nullopt;
    return plans;
}

// result._result_as_arrow, the binding's fetch of a pending result as Arrow
// without the warning its public wrapper gives; an invalid object on a
// binding that has none.
nb::object arrow_fetch(nb::handle result) { return optional_attr(result, kResultAsArrow); }

// The pending result's rows as a pyarrow Table (None once they are used up).
nb::object fetch_arrow(nb::handle fetch) { return fetch(kBatchRows, nb::arg("reader") = py_bool(false)); }

// An object made once and kept until exit. Not a C++ static initialiser:
// making it may run Python code (an import, say) during
// which another thread takes the GIL, and that thread would then wait for
// the initialiser while holding the GIL the first one needs. Two threads may
// both make it; the GIL orders their stores, and the second copy is dropped.
template <typename Make>
nb::handle kept(PyObject *&slot, Make &&make) {
    if (!slot) {
        nb::object made = make();
        if (!slot)
            slot = made.release().ptr();
    }
    return slot;
}

nb::object pandas_module() {
    static PyObject *pandas = nullptr;
    return nb::borrow(kept(pandas, [] { return import("pandas"); }));
}

nb::object pandas_dtype(const char *name) {
    static PyObject *make = nullptr;
    return call(kept(make, [] { return attr(import("pandas.api.types"), kPandasDtype); }), name);
}

nb::object numpy_module() {
    static PyObject *numpy = nullptr;
    return nb::borrow(kept(numpy, [] { return import("numpy"); }));
}

// A contiguous view of a buffer-protocol object, released with the scope.
class BufferView {
public:
    BufferView(nb::handle owner, int flags) {
        if (PyObject_GetBuffer(owner.ptr(), &view_, flags) != 0)
            throw_pending();
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    const unsigned char *bytes() const { return static_cast<const unsigned char *>(view_.buf); }
    unsigned char *writable() const { return static_cast<unsigned char *>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

private:
    Py_buffer view_{};
};

// A DECIMAL column as df() gives it: float64 of the unscaled value divided
// by 10^scale, NaN for NULL. The unscaled value is read straight out of the
// Arrow buffers (128, 64 or, with an older arrow_output_version, 32 bits,
// little-endian; a value of width <= 18 fits the low 64 bits).
nb::object decimal_values(nb::handle column, size_t rows, int scale) {
    double divisor = 1.0;
    for (int i = 0; i < scale; ++i)
        divisor *= 10.0;  // exact up to 10^22
    nb::object out = attr(numpy_module(), kEmpty)(rows, nb::arg("dtype") = kFloat64.handle());
    BufferView target(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    double *values = reinterpret_cast<double *>(target.writable());
    size_t at = 0;
    for (nb::handle chunk : attr(column, kChunks)) {
        size_t length = static_cast<size_t>(PyObject_Length(chunk.ptr()));
        size_t offset = nb::cast<size_t>(attr(chunk, kOffset));
        long bits = nb::cast<long>(attr(attr(chunk, kType), kBitWidth));
        if ((bits != 128 && bits != 64 && bits != 32) || at + length > rows)
            throw_value_error("unexpected Arrow layout of a DECIMAL column");
        size_t width = static_cast<size_t>(bits / 8);
        nb::object buffers = call_method(chunk, kBuffers);
        nb::object validity = buffers[0], data = buffers[1];
        BufferView digits(data, PyBUF_SIMPLE);
        if (static_cast<size_t>(digits.size()) < (offset + length) * width)
            throw_value_error("unexpected Arrow layout of a DECIMAL column");
        std::optional<BufferView> valid;
        if (!is_none(validity))
            valid.emplace(validity, PyBUF_SIMPLE);
        for (size_t i = 0; i < length; ++i) {
            size_t row = offset + i;
            if (valid && !(valid->bytes()[row / 8] >> (row % 8) & 1)) {
                values[at + i] = std::numeric_limits<double>::quiet_NaN();
                continue;
            }
            std::int64_t unscaled;
            if (width == 4) {
                std::int32_t narrow;
                std::memcpy(&narrow, digits.bytes() + row * width, sizeof narrow);
                unscaled = narrow;
            } else {
                std::memcpy(&unscaled, digits.bytes() + row * width, sizeof unscaled);
            }
            values[at + i] = static_cast<double>(unscaled) / divisor;
        }
        at += length;
    }
    return out;
}

// The enum's values, in order: its categories when no row carried them.
nb::object empty_enum(nb::handle type) {
    nb::object children = attr(type, kChildren);
    nb::object pair = checked(PySequence_GetItem(children.ptr(), 0));
    nb::object values = pair[1];
    return attr(pandas_module(), kCategorical)(nb::list(), nb::arg("categories") = values,
                                               nb::arg("ordered") = py_bool(true));
}

// The values that replace column i of the frame, or an invalid object when
// it is right as it is.
nb::object mended(const ColumnPlan &plan, nb::handle table, size_t i, size_t rows) {
    switch (plan.mend) {
    case Mend::None:
        return nb::object();
    case Mend::Nullable: {
        nb::object column = call_method(table, kColumn, i);
        if (!truth(attr(column, kNullCount)))
            return nb::object();
        return call_method(pandas_dtype(plan.nullable), kFromArrow, column);
    }
    case Mend::Text: {
        nb::object column = call_method(table, kColumn, i);
        if (nb::cast<size_t>(attr(column, kNullCount)) != rows)
            return nb::object();
        return attr(numpy_module(), kFull)(rows, nb::none(), nb::arg("dtype") = kObject.handle());
    }
    case Mend::Date:
        return nb::object();  // cast before to_pandas
    case Mend::Enum:
        // With rows, made ordered before to_pandas.
        return rows == 0 ? empty_enum(plan.type) : nb::object();
    case Mend::Decimal:
        return decimal_values(call_method(table, kColumn, i), rows, plan.scale);
    }
    return nb::object();
}

nb::object pyarrow_module() {
    static PyObject *pyarrow = nullptr;
    return nb::borrow(kept(pyarrow, [] { return import("pyarrow"); }));
}

// Column i cast in Arrow so that to_pandas gives df()'s dtype itself, which
// costs less than mending the frame afterwards; an invalid object for a
// column that needs no cast.
nb::object cast_column(const ColumnPlan &plan, nb::handle table, size_t i, size_t rows) {
    static const Name kTimestamp{"timestamp"}, kDictionary{"dictionary"}, kIndexType{"index_type"},
        kValueType{"value_type"}, kCast{"cast"}, kMicroseconds{"us"};
    if (plan.mend == Mend::Date) {
        static PyObject *micros = nullptr;
        kept(micros, [] { return attr(pyarrow_module(), kTimestamp)(kMicroseconds.handle()); });
        return call_method(call_method(table, kColumn, i), kCast, nb::handle(micros));
    }
    if (plan.boolean) {
        static const Name kBool{"bool_"};
        static PyObject *boolean = nullptr;
        kept(boolean, [] { return attr(pyarrow_module(), kBool)(); });
        nb::object column = call_method(table, kColumn, i);
        int plain = PyObject_RichCompareBool(attr(column, kType).ptr(), boolean, Py_EQ);
        if (plain < 0)
            throw_pending();
        return plain ? nb::object() : call_method(column, kCast, nb::handle(boolean));
    }
    if (plan.mend == Mend::Enum && rows > 0) {
        nb::object column = call_method(table, kColumn, i);
        nb::object type = attr(column, kType);
        nb::object ordered = attr(pyarrow_module(), kDictionary)(attr(type, kIndexType), attr(type, kValueType),
                                                                 nb::arg("ordered") = py_bool(true));
        return call_method(column, kCast, ordered);
    }
    return nb::object();
}

nb::object frame_of_arrow(nb::handle arrow_table, const std::vector<ColumnPlan> &plans) {
    static const Name kSetColumn{"set_column"}, kColumnNames{"column_names"};
    size_t rows = nb::cast<size_t>(attr(arrow_table, kNumRows));
    nb::object table = nb::borrow(arrow_table);
    for (size_t i = 0; i < plans.size(); ++i)
        if (nb::object cast = cast_column(plans[i], table, i, rows); cast.is_valid()) {
            nb::object name = nb::object(attr(table, kColumnNames))[i];
            table = call_method(table, kSetColumn, i, name, cast);
        }
    nb::object frame = attr(table, kToPandas)(nb::arg("date_as_object") = py_bool(false),
                                              nb::arg("use_threads") = py_bool(rows >= kThreadedRows));
    for (size_t i = 0; i < plans.size(); ++i)
        if (nb::object values = mended(plans[i], table, i, rows); values.is_valid())
            call_method(frame, kIsetitem, i, values);
    return frame;
}

// Rows of the last answer to each statement text. A question asked again
// mostly gets an answer of about the size it got before, and the size is what
// decides the cheaper conversion (df() below kArrowWorthRows rows, Arrow
// above), which DuckDB cannot tell before the rows are fetched. A wrong guess
// costs time only: both conversions give the same frame. Touched under the
// GIL only; emptied when it has grown to kRememberedStatements texts, so that
// texts carrying their values (rather than binding them) cannot make it grow
// without bound.
class AnswerSizes {
public:
    // The rows last seen for `statement`, or SIZE_MAX when none were.
    std::size_t recalled(nb::handle statement) {
        if (!remembers(statement))
            return SIZE_MAX;
        PyObject *rows = PyDict_GetItemWithError(sizes().ptr(), statement.ptr());
        if (!rows) {
            if (PyErr_Occurred())
                throw_pending();
            return SIZE_MAX;
        }
        return PyLong_AsSize_t(rows);
    }

    // Notes how many rows `frame`, the answer to `statement`, holds.
    void remember(nb::handle statement, nb::handle frame) {
        if (!remembers(statement))
            return;
        Py_ssize_t rows = PyObject_Length(frame.ptr());
        if (rows < 0)
            throw_pending();
        nb::handle memo = sizes();
        if (PyDict_GET_SIZE(memo.ptr()) >= kRememberedStatements)
            PyDict_Clear(memo.ptr());
        nb::object count = checked(PyLong_FromSsize_t(rows));
        if (PyDict_SetItem(memo.ptr(), statement.ptr(), count.ptr()) != 0)
            throw_pending();
    }

private:
    static constexpr Py_ssize_t kRememberedStatements = 4096;

    // Exact str keys only: their hashing and comparison run no Python code.
    static bool remembers(nb::handle statement) {
        return statement.is_valid() && PyUnicode_CheckExact(statement.ptr());
    }

    nb::handle sizes() { return kept(memo_, [] { return nb::object(nb::dict()); }); }

    PyObject *memo_ = nullptr;
};

AnswerSizes &answer_sizes() {
    static AnswerSizes sizes;
    return sizes;
}

nb::object converted(nb::handle result, std::size_t most_rows) {
    if (most_rows < kArrowWorthRows || !is_connection(loaded_module(), result))
        return call_method(result, kDf);
    nb::object fetch = arrow_fetch(result);
    if (!fetch.is_valid())
        return call_method(result, kDf);
    std::optional<std::vector<ColumnPlan>> plans = plan_result(result);
    if (!plans)
        return call_method(result, kDf);
    nb::object table = fetch_arrow(fetch);
    if (is_none(table))
        return call_method(result, kDf);
    return frame_of_arrow(table, *plans);
}

}  // namespace

nb::object to_frame(nb::handle result, std::size_t most_rows, nb::handle statement) {
    AnswerSizes &sizes = answer_sizes();
    nb::object frame = converted(result, std::min(most_rows, sizes.recalled(statement)));
    sizes.remember(statement, frame);
    return frame;
}

nb::object to_arrow_table(nb::handle result) {
    if (is_connection(loaded_module(), result))
        if (nb::object fetch = arrow_fetch(result); fetch.is_valid())
            if (nb::object table = fetch_arrow(fetch); !is_none(table))
                return table;
    // Objects that are not DuckDB connections answer with df() only.
    nb::object frame = call_method(result, kDf);
    static const Name kTable{"Table"};
    return attr(attr(pyarrow_module(), kTable), kFromPandas)(frame, nb::arg("preserve_index") = py_bool(false));
}

}  // namespace brindle::interop::duck
