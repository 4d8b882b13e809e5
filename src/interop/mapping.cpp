// Item access on Python mappings that report absence instead of raising.
#include "mapping.h"

namespace brindle::interop {
nb::object find_item(nb::handle mapping, nb::handle key) {
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

bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0)
        throw_pending();
    return r == 1;
}

void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) != 0)
        throw_pending();
}

void del_item(nb::handle mapping, nb::handle key) {
    if (PyObject_DelItem(mapping.ptr(), key.ptr()) != 0)
        throw_pending();
}

bool equal(nb::handle left, nb::handle right) {
    return truth(checked(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ)));
}

}  // namespace brindle::interop
