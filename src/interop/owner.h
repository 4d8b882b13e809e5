// A Python object that owns one C++ value holding Python references, and
// shows them to the garbage collector.
//
// A capsule around such a value hides its references: a cycle running through
// it (an object it keeps that refers back to the object keeping the capsule)
// is never freed. The owner type traverses and clears the value instead, as
// CPython's own containers do. T provides
//
//   static constexpr const char *kTypeName;          // the type's __name__, dotted
//   int traverse(visitproc visit, void *arg) const;  // Py_VISIT of every reference
//   void clear();                                    // drops every reference
//
// traverse and clear run with the GIL held and must take no lock: the
// collector may run them while another thread holds one and waits for the GIL.
#pragma once

#include "core.h"

namespace brindle::interop {

namespace detail {

template <typename T>
struct OwnerObject {
    PyObject_HEAD
    T *value;  // nullptr only while the object is being built
};

template <typename T>
int owner_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (T *value = reinterpret_cast<OwnerObject<T> *>(self)->value)
        return value->traverse(visit, arg);
    return 0;
}

template <typename T>
int owner_clear(PyObject *self) {
    if (T *value = reinterpret_cast<OwnerObject<T> *>(self)->value)
        value->clear();
    return 0;
}

template <typename T>
void owner_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto *owner = reinterpret_cast<OwnerObject<T> *>(self);
    delete owner->value;
    owner->value = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace detail

// The owner type of T, one per extension module; built on first use.
template <typename T>
PyTypeObject *owner_type() {
    static PyTypeObject *type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void *>(detail::owner_dealloc<T>)},
            {Py_tp_traverse, reinterpret_cast<void *>(detail::owner_traverse<T>)},
            {Py_tp_clear, reinterpret_cast<void *>(detail::owner_clear<T>)},
            {0, nullptr}};
        // No Py_TPFLAGS_BASETYPE and no tp_new: made only from C++.
        static PyType_Spec spec = {T::kTypeName, sizeof(detail::OwnerObject<T>), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                   slots};
        PyObject *t = PyType_FromSpec(&spec);
        if (!t)
            throw_pending();
        return reinterpret_cast<PyTypeObject *>(t);
    }();
    return type;
}

// A new owner of a default-constructed T, tracked by the collector.
template <typename T>
nb::object make_owner() {
    PyTypeObject *type = owner_type<T>();
    nb::object self = checked(type->tp_alloc(type, 0));  // tracked, value still nullptr
    reinterpret_cast<detail::OwnerObject<T> *>(self.ptr())->value = new T();
    return self;
}

// The value `obj` owns; nullptr when obj is no owner of a T.
template <typename T>
T *owned_value(nb::handle obj) {
    if (!obj.is_valid() || Py_TYPE(obj.ptr()) != owner_type<T>())
        return nullptr;
    return reinterpret_cast<detail::OwnerObject<T> *>(obj.ptr())->value;
}

}  // namespace brindle::interop
