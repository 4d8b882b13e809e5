// Frames kept by the result cache: how much memory they hold, whether a
// caller could change a kept one through its copy, and the copies themselves.
//
// With pandas' copy-on-write (always on from pandas 3) a shallow copy shares
// the kept frame's arrays until either side writes, and a write copies first;
// what it cannot protect are mutable Python objects inside object columns
// (DuckDB's LIST, STRUCT, MAP and BLOB values), so frames holding those are
// never kept.
#include "result_cache.h"

#include <unordered_set>

namespace brindle::result_cache {
namespace {

const Name kPd{"pd"};
const Name kDataFrame{"DataFrame"};
const Name kMgr{"_mgr"};
const Name kArrays{"arrays"};
const Name kNbytes{"nbytes"};
const Name kDtype{"dtype"};
const Name kHasobject{"hasobject"};
const Name kIndex{"index"};
const Name kCopy{"copy"};
const Name kDeep{"deep"};

// What a kept answer costs besides its arrays: the frame, its blocks and the keys.
constexpr std::size_t kFrameOverhead = 2048;

struct FrameTypes {
    PyTypeObject *ndarray = nullptr;
    PyObject *data_frame = nullptr;     // pandas.DataFrame
    PyObject *block_manager = nullptr;  // pandas.core.internals.BlockManager
    std::unordered_set<PyTypeObject *> immutable;
    bool shallow_copies = false;  // copy-on-write: a shallow copy is a copy
    PyObject *copy_kwnames = nullptr;  // ("deep",)
};

FrameTypes &frame_types() {
    static FrameTypes types;
    return types;
}

PyTypeObject *type_named(const char *module, const char *name) {
    nb::object type = attr(import(module), Name(name));
    if (!PyType_Check(type.ptr()))
        throw_type_error(std::string(module) + "." + name + " is not a type");
    return reinterpret_cast<PyTypeObject *>(type.release().ptr());  // kept for the process
}

bool pandas_copies_on_write(nb::handle pandas) {
    std::string version = to_text(attr(pandas, Name("__version__")));
    if (std::atoi(version.c_str()) >= 3)
        return true;
    nb::object setting = attr(attr(attr(pandas, Name("options")), Name("mode")), Name("copy_on_write"));
    return setting.ptr() == Py_True;
}

std::size_t value_size(PyObject *value) {
    if (PyUnicode_Check(value))
        return sizeof(PyASCIIObject) +
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(value) + 1) * PyUnicode_KIND(value);
    if (PyBytes_Check(value))
        return sizeof(PyBytesObject) + static_cast<std::size_t>(PyBytes_GET_SIZE(value));
    return static_cast<std::size_t>(Py_TYPE(value)->tp_basicsize);
}

// Adds what an object array's values hold; false when one of them could be
// changed in place.
bool immutable_values(nb::handle array, std::size_t &bytes) {
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_ANY_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    const auto &immutable = frame_types().immutable;
    bool ok = view.format && std::string_view(view.format) == "O" && view.itemsize == sizeof(PyObject *);
    auto **values = static_cast<PyObject **>(view.buf);
    for (Py_ssize_t i = 0, n = ok ? view.len / view.itemsize : 0; i < n; ++i) {
        if (!values[i] || !immutable.count(Py_TYPE(values[i]))) {
            ok = false;
            break;
        }
        bytes += value_size(values[i]);
    }
    PyBuffer_Release(&view);
    return ok;
}

std::size_t nbytes_of(nb::handle array) {
    std::size_t n = PyLong_AsSize_t(attr(array, kNbytes).ptr());
    if (n == static_cast<std::size_t>(-1) && PyErr_Occurred())
        throw_pending();
    return n;
}

bool holds_objects(nb::handle array) {
    PyObject *has = PyObject_GetAttr(attr(array, kDtype).ptr(), kHasobject.ptr());
    if (!has) {  // an extension dtype: its values are pandas' own
        PyErr_Clear();
        return false;
    }
    return nb::steal(has).ptr() == Py_True;
}

bool measure(nb::handle frame, std::size_t &bytes) {
    if (Py_TYPE(frame.ptr()) != reinterpret_cast<PyTypeObject *>(attr(this_module().get(kPd), kDataFrame).ptr()))
        return false;
    bytes = kFrameOverhead + nbytes_of(attr(frame, kIndex));
    for (nb::handle array : attr(attr(frame, kMgr), kArrays)) {
        bytes += nbytes_of(array);
        if (!holds_objects(array))
            continue;
        // Objects live in plain numpy arrays only; an extension array wrapping
        // them is not something the cache knows how to check.
        if (!PyObject_TypeCheck(array.ptr(), frame_types().ndarray) || !immutable_values(array, bytes))
            return false;
    }
    return true;
}

}  // namespace

void init_cached_frames() {
    FrameTypes &types = frame_types();
    types.ndarray = type_named("numpy", "ndarray");
    for (PyTypeObject *builtin : {&PyUnicode_Type, &PyBytes_Type, &PyLong_Type, &PyFloat_Type, &PyBool_Type,
                                  &PyComplex_Type, Py_TYPE(Py_None)})
        types.immutable.insert(builtin);
    for (auto [module, name] : {std::pair{"decimal", "Decimal"}, {"uuid", "UUID"}, {"datetime", "date"},
                                {"datetime", "datetime"}, {"datetime", "time"}, {"datetime", "timedelta"},
                                {"pandas", "Timestamp"}, {"pandas", "Timedelta"}})
        types.immutable.insert(type_named(module, name));
    nb::object pandas = import("pandas");
    types.immutable.insert(Py_TYPE(attr(pandas, Name("NA")).ptr()));
    types.immutable.insert(Py_TYPE(attr(pandas, Name("NaT")).ptr()));
    types.shallow_copies = pandas_copies_on_write(pandas);
    types.data_frame = attr(pandas, kDataFrame).release().ptr();
    types.block_manager = guarded(
        [] { return attr(import("pandas.core.internals"), Name("BlockManager")).release().ptr(); },
        [](nb::python_error &) -> PyObject * { return nullptr; });
    types.copy_kwnames = nb::make_tuple(kDeep.handle()).release().ptr();
}

bool keepable_size(nb::handle frame, std::size_t &bytes) {
    // The frame's internals are read where they are cheap to read; a pandas
    // that lays them out otherwise only means nothing is kept.
    return guarded([&] { return measure(frame, bytes); }, [](nb::python_error &) { return false; });
}

namespace {

// df.copy(deep=False) without going through pandas' generic machinery, which
// costs more than the rest of an answer from the cache: each block copied
// shallowly (sharing its values and their copy-on-write references), the axes
// as views (their names are each frame's own), in a new manager and frame.
// Invalid when the frame is not laid out as this expects; df.copy() then.
nb::object shallow_copy(nb::handle frame) {
    static const Name kBlocks{"blocks"}, kAxes{"axes"}, kView{"view"}, kFromMgr{"_from_mgr"};
    const FrameTypes &types = frame_types();
    if (!types.block_manager || Py_TYPE(frame.ptr()) != reinterpret_cast<PyTypeObject *>(types.data_frame))
        return nb::object();
    return guarded(
        [&] {
            nb::object manager = attr(frame, kMgr);
            if (Py_TYPE(manager.ptr()) != reinterpret_cast<PyTypeObject *>(types.block_manager))
                return nb::object();
            nb::object blocks = attr(manager, kBlocks), axes = attr(manager, kAxes);
            if (!PyTuple_CheckExact(blocks.ptr()) || !PyList_CheckExact(axes.ptr()))
                return nb::object();
            Py_ssize_t n = PyTuple_GET_SIZE(blocks.ptr());
            nb::object copies = checked(PyTuple_New(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *argv[] = {nullptr, PyTuple_GET_ITEM(blocks.ptr(), i), Py_False};
                PyObject *copy = PyObject_VectorcallMethod(kCopy.ptr(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                           types.copy_kwnames);
                PyTuple_SET_ITEM(copies.ptr(), i, checked(copy).release().ptr());
            }
            nb::list views;
            for (nb::handle axis : axes)
                views.append(call_method(axis, kView));
            nb::object copied = nb::handle(types.block_manager)(copies, views, nb::arg("verify_integrity") = false);
            return call_method(nb::handle(types.data_frame), kFromMgr, copied, views);
        },
        [](nb::python_error &) { return nb::object(); });
}

}  // namespace

nb::object frame_copy(nb::handle frame) {
    const FrameTypes &types = frame_types();
    if (types.shallow_copies)
        if (nb::object copy = shallow_copy(frame); copy.is_valid())
            return copy;
    PyObject *argv[] = {nullptr, frame.ptr(), types.shallow_copies ? Py_False : Py_True};
    return checked(PyObject_VectorcallMethod(kCopy.ptr(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             types.copy_kwnames));
}

}  // namespace brindle::result_cache
