// The keys answers are kept under: a question exactly as asked, and the
// values bound with it.
#include "result_cache.h"

namespace brindle::result_cache {
namespace {

bool absent(nb::handle value) { return !value.is_valid() || is_none(value); }

std::string limit_text(nb::handle limit) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
    if (overflow || (n == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return to_text(limit);
    }
    return std::to_string(n);
}

}  // namespace

// Appends "<length>:<text>"; false for a str without a UTF-8 form.
bool append_text(std::string &key, nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    key.append(std::to_string(size)).append(1, ':').append(data, static_cast<size_t>(size));
    return true;
}


namespace {

// One bound value, tagged with its type; false for a type whose text could
// stand for another value (only None, bool, int, float and str are kept).
bool append_value(std::string &key, nb::handle value) {
    PyObject *v = value.ptr();
    if (v == Py_None) {
        key += 'n';
    } else if (PyBool_Check(v)) {
        key += v == Py_True ? "b1" : "b0";
    } else if (PyLong_CheckExact(v)) {
        key.append(1, 'i').append(limit_text(value)).append(1, ';');
    } else if (PyFloat_CheckExact(v)) {
        key.append(1, 'f').append(to_text(value)).append(1, ';');  // str() of a float reads back exactly
    } else if (PyUnicode_CheckExact(v)) {
        return append_text(key += 's', value);
    } else {
        return false;
    }
    return true;
}

}  // namespace

// The values bound with the question, in the order given: the same text
// with other values is another question. False when one cannot be told
// apart from every other value by its text (nothing is then kept).
bool append_params(std::string &key, nb::handle params) {
    if (absent(params)) {
        key += 'N';
        return true;
    }
    PyObject *p = params.ptr();
    if (PyDict_CheckExact(p)) {
        key.append(1, 'D').append(std::to_string(PyDict_GET_SIZE(p))).append(1, ':');
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(p, &pos, &name, &value))
            if (!PyUnicode_CheckExact(name) || !append_text(key, name) || !append_value(key, value))
                return false;
        return true;
    }
    if (!PyList_CheckExact(p) && !PyTuple_CheckExact(p))
        return false;
    nb::object values = checked(PySequence_Fast(p, ""));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(values.ptr());
    key.append(1, 'Q').append(std::to_string(n)).append(1, ':');
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!append_value(key, PySequence_Fast_GET_ITEM(values.ptr(), i)))
            return false;
    return true;
}

// The question exactly as asked: where, columns and limit, each tagged so
// that None, "" and [] stay apart. It starts with '#', which no table name
// does. False when a part is not what the query layer takes (it then
// raises, and nothing is kept).
bool question_key(nb::handle sql_where, nb::handle columns, nb::handle limit, std::string &key) {
    key = "#";
    if (absent(sql_where))
        key += 'N';
    else if (!PyUnicode_Check(sql_where.ptr()) || !append_text(key += 'S', sql_where))
        return false;
    if (absent(columns)) {
        key += 'N';
    } else {
        if (!PyList_Check(columns.ptr()))
            return false;
        key.append(1, 'L').append(std::to_string(PyList_GET_SIZE(columns.ptr()))).append(1, ':');
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns.ptr()); ++i) {
            nb::handle column = PyList_GET_ITEM(columns.ptr(), i);
            if (!PyUnicode_CheckExact(column.ptr()) || !append_text(key, column))
                return false;
        }
    }
    if (absent(limit))
        key += 'N';
    else if (!PyLong_Check(limit.ptr()))
        return false;
    else
        key.append(1, 'I').append(limit_text(limit));
    return true;
}

}  // namespace brindle::result_cache
