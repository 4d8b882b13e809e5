// Item access on Python mappings that report absence instead of raising.
#pragma once

#include "core.h"

namespace brindle::interop {

// mapping[key], or an invalid object when the key is absent.
inline nb::object find_item(nb::handle mapping, nb::handle key) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject *v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (!v) {
            if (PyErr_Occurred())
                throw_pending();
            return nb::object();
        }
        return nb::borrow(v);
    }
    PyObject *v = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw_pending();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(v);
}

inline bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0)
        throw_pending();
    return r == 1;
}

inline void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) != 0)
        throw_pending();
}

inline void del_item(nb::handle mapping, nb::handle key) {
    if (PyObject_DelItem(mapping.ptr(), key.ptr()) != 0)
        throw_pending();
}

// left == right, as Python compares them.
inline bool equal(nb::handle left, nb::handle right) {
    return truth(checked(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ)));
}

}  // namespace brindle::interop
