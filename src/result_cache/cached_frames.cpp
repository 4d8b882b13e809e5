// Frames kept by the result cache: how much memory they hold, whether a
// caller could change a kept one through its copy, and the copies themselves.
//
// With pandas' copy-on-write (always on from pandas 3) a shallow copy shares
// the kept frame's arrays until either side writes, and a write copies first;
// what it cannot protect are mutable Python objects inside object columns
// (DuckDB's LIST, STRUCT, MAP and BLOB values), so frames holding those are
// never kept.
#include "result_cache.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

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

const Name kBlocks{"blocks"};
const Name kAxes{"axes"};
const Name kValues{"values"};
const Name kMgrLocs{"_mgr_locs"};
const Name kRefs{"refs"};
const Name kView{"view"};
const Name kId{"_id"};
const Name kReferences{"_references"};
const Name kAddIndexReference{"add_index_reference"};
const Name kAttrs{"_attrs"};
const Name kFlags{"_flags"};
const Name kAllowsDuplicateLabels{"_allows_duplicate_labels"};
const Name kObj{"_obj"};

// What df.copy(deep=False) builds under copy-on-write, built here without
// pandas' generic machinery, which costs more than the rest of an answer from
// the cache. Each piece is made as pandas' own shallow copy makes it: every
// block anew around a view of its values, sharing their copy-on-write
// references (so a write on either side copies first); each axis a new
// object of the same state under a new identity, sharing its cache and
// registered with its references as Index.view() does (its name is each
// frame's own); a new manager; a frame with its own attrs and flags, as
// DataFrame._from_mgr makes it. Read from pandas at init and used only while
// pandas lays its objects out the way this expects.
struct CopyLayout {
    bool known = false;
    PyObject *flags = nullptr;            // pandas.core.flags.Flags
    PyObject *no_args = nullptr;          // ()
    PyObject *frame_ndim = nullptr;       // 2: a frame's blocks are two-dimensional
    std::unordered_set<PyTypeObject *> blocks;  // pandas' own, copied by Block.copy
    // Each index type whose view is its state under a new identity: the
    // attributes its instances hold (interned, kept for the process).
    std::vector<std::pair<PyTypeObject *, std::vector<PyObject *>>> axes;
};

CopyLayout &copy_layout() {
    static CopyLayout layout;
    return layout;
}

// The attribute names an object holds in its __dict__, sorted.
std::vector<std::string> attribute_names(nb::handle obj) {
    std::vector<std::string> names;
    nb::object dict = checked(PyObject_GenericGetDict(obj.ptr(), nullptr));
    for (nb::handle key : nb::borrow<nb::dict>(dict).keys())
        names.push_back(to_text(key));
    std::sort(names.begin(), names.end());
    return names;
}

bool holds_just(nb::handle obj, std::vector<std::string> expected) {
    std::sort(expected.begin(), expected.end());
    return Py_TYPE(obj.ptr())->tp_dictoffset != 0 && attribute_names(obj) == expected;
}

// A new object of `type` without its __new__ or __init__, as object.__new__(cls).
nb::object bare_instance(PyTypeObject *type) {
    return checked(PyBaseObject_Type.tp_new(type, copy_layout().no_args, nullptr));
}

void set_own_attr(nb::handle obj, const Name &name, nb::handle value) {
    if (PyObject_GenericSetAttr(obj.ptr(), name.ptr(), value.ptr()) != 0)
        throw_pending();
}

// axis.view(): the same state under a new identity, its cache shared, and
// known to its references; axis.view() itself for an index laid out otherwise.
nb::object axis_view(nb::handle axis) {
    const CopyLayout &layout = copy_layout();
    PyTypeObject *type = Py_TYPE(axis.ptr());
    auto known = std::find_if(layout.axes.begin(), layout.axes.end(), [&](const auto &k) { return k.first == type; });
    if (known == layout.axes.end())
        return call_method(axis, kView);
    nb::object state = checked(PyObject_GenericGetDict(axis.ptr(), nullptr));
    if (PyDict_GET_SIZE(state.ptr()) != static_cast<Py_ssize_t>(known->second.size()))
        return call_method(axis, kView);
    nb::object view = bare_instance(type);
    for (PyObject *name : known->second) {
        PyObject *value = PyDict_GetItemWithError(state.ptr(), name);
        if (!value) {
            if (PyErr_Occurred())
                throw_pending();
            return call_method(axis, kView);
        }
        if (PyObject_GenericSetAttr(view.ptr(), name, value) != 0)
            throw_pending();
    }
    set_own_attr(view, kId, checked(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&PyBaseObject_Type))));
    call_method(attr(axis, kReferences), kAddIndexReference, view);
    return view;
}

nb::object block_copy(nb::handle block) {
    if (!copy_layout().blocks.count(Py_TYPE(block.ptr()))) {
        PyObject *argv[] = {nullptr, block.ptr(), Py_False};
        return checked(PyObject_VectorcallMethod(kCopy.ptr(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 frame_types().copy_kwnames));
    }
    nb::object values = call_method(attr(block, kValues), kView);
    nb::object placement = attr(block, kMgrLocs), refs = attr(block, kRefs);
    PyObject *argv[] = {nullptr, values.ptr(), placement.ptr(), copy_layout().frame_ndim, refs.ptr()};
    return checked(PyObject_Vectorcall(reinterpret_cast<PyObject *>(Py_TYPE(block.ptr())), argv + 1,
                                       4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// DataFrame._from_mgr(manager, axes).
nb::object frame_from_manager(nb::handle manager) {
    const CopyLayout &layout = copy_layout();
    nb::object frame = bare_instance(reinterpret_cast<PyTypeObject *>(frame_types().data_frame));
    nb::object flags = bare_instance(reinterpret_cast<PyTypeObject *>(layout.flags));
    set_own_attr(flags, kAllowsDuplicateLabels, Py_True);
    set_own_attr(flags, kObj, checked(PyWeakref_NewRef(frame.ptr(), nullptr)));
    set_own_attr(frame, kMgr, manager);
    set_own_attr(frame, kAttrs, checked(PyDict_New()));
    set_own_attr(frame, kFlags, flags);
    return frame;
}

// Invalid when the frame is not laid out as this expects; df.copy() then.
nb::object shallow_copy(nb::handle frame) {
    const FrameTypes &types = frame_types();
    if (!copy_layout().known || Py_TYPE(frame.ptr()) != reinterpret_cast<PyTypeObject *>(types.data_frame))
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
            for (Py_ssize_t i = 0; i < n; ++i)
                PyTuple_SET_ITEM(copies.ptr(), i, block_copy(PyTuple_GET_ITEM(blocks.ptr(), i)).release().ptr());
            Py_ssize_t m = PyList_GET_SIZE(axes.ptr());
            nb::object views = checked(PyList_New(m));
            for (Py_ssize_t i = 0; i < m; ++i)
                PyList_SET_ITEM(views.ptr(), i, axis_view(PyList_GET_ITEM(axes.ptr(), i)).release().ptr());
            PyObject *argv[] = {nullptr, copies.ptr(), views.ptr(), Py_False};
            nb::object copied = checked(PyObject_Vectorcall(types.block_manager, argv + 1,
                                                            3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            return frame_from_manager(copied);
        },
        [](nb::python_error &) { return nb::object(); });
}

// The layout the copy above builds, read from pandas' own objects: a frame,
// its flags and each kind of index hold just the attributes it sets, and the
// blocks it rebuilds are those Block.copy copies.
void read_copy_layout(nb::handle pandas) {
    CopyLayout &layout = copy_layout();
    layout.no_args = PyTuple_New(0);
    layout.frame_ndim = PyLong_FromLong(2);
    nb::object blocks_module = import("pandas.core.internals.blocks");
    nb::object block = attr(blocks_module, Name("Block"));
    nb::object block_copy_function = attr(block, kCopy);
    nb::dict names = nb::borrow<nb::dict>(checked(PyObject_GenericGetDict(blocks_module.ptr(), nullptr)));
    for (auto [name, value] : names)
        if (PyType_Check(value.ptr()) && PyObject_IsSubclass(value.ptr(), block.ptr()) == 1 &&
            attr(value, kCopy).is(block_copy_function))
            layout.blocks.insert(reinterpret_cast<PyTypeObject *>(value.ptr()));
    layout.flags = attr(import("pandas.core.flags"), Name("Flags")).release().ptr();
    nb::object frame = call(attr(pandas, kDataFrame), nb::dict());
    nb::object range_index = attr(pandas, Name("RangeIndex")), index = attr(pandas, Name("Index"));
    nb::object a_range = call_method(call(range_index, 1), kView);
    nb::object an_index = call_method(call(index, nb::make_tuple("a")), kView);
    auto interned = [](const std::vector<std::string> &names) {
        std::vector<PyObject *> strs;
        for (const std::string &name : names)
            strs.push_back(checked(PyUnicode_InternFromString(name.c_str())).release().ptr());
        return strs;
    };
    layout.axes = {{reinterpret_cast<PyTypeObject *>(range_index.ptr()), interned(attribute_names(a_range))},
                   {reinterpret_cast<PyTypeObject *>(index.ptr()), interned(attribute_names(an_index))}};
    layout.known = frame_types().shallow_copies && frame_types().block_manager &&
                   std::atoi(to_text(attr(pandas, Name("__version__"))).c_str()) == 3 &&
                   holds_just(frame, {"_mgr", "_attrs", "_flags"}) &&
                   holds_just(attr(frame, Name("flags")), {"_allows_duplicate_labels", "_obj"}) &&
                   holds_just(a_range, {"_range", "_name", "_cache", "_id"}) &&
                   holds_just(an_index, {"_data", "_name", "_cache", "_id", "_references"});
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
    guarded([&] { read_copy_layout(pandas); }, [](nb::python_error &) {});
}

bool keepable_size(nb::handle frame, std::size_t &bytes) {
    // The frame's internals are read where they are cheap to read; a pandas
    // that lays them out otherwise only means nothing is kept.
    return guarded([&] { return measure(frame, bytes); }, [](nb::python_error &) { return false; });
}

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
