// Working on DuckDB connections from C++.
#include "duck/duckdb.h"

namespace brindle::interop::duck {

bool is_connection(nb::handle duckdb_module, nb::handle conn) {
    PyObject *cls = PyObject_GetAttr(duckdb_module.ptr(), kDuckDBPyConnection.ptr());
    if (!cls) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw_pending();
        PyErr_Clear();
        return false;
    }
    nb::object owned = nb::steal(cls);
    if (!PyType_Check(cls))
        return false;
    int r = PyObject_IsInstance(conn.ptr(), cls);
    if (r < 0)
        throw_pending();
    return r != 0;
}

nb::object loaded_module() {
    static const Name kDuckdbName{"duckdb"};
    PyObject *m = PyImport_GetModule(kDuckdbName.ptr());
    if (!m) {
        if (PyErr_Occurred())
            throw_pending();
        return nb::none();
    }
    return nb::steal(m);
}

void close_quietly(nb::handle cursor) {
    PyObject *r = call_method_raw(cursor.ptr(), kClose);
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();
}

PyObject *catalog_registry(bool create) {
    static PyObject *registry = nullptr;
    if (registry)
        return registry;
    static const Name kPackage{"brindle"};
    PyObject *package = PyImport_GetModule(kPackage.ptr());
    if (!package) {
        if (PyErr_Occurred())
            throw_pending();
        return nullptr;
    }
    nb::object owned = nb::steal(package);
    // Looked up in the package's namespace itself: a miss through getattr()
    // would run the package's module __getattr__ and raise, on every cursor
    // opened before any catalog exists.
    PyObject *namespace_ = PyModule_Check(package) ? PyModule_GetDict(package) : nullptr;
    PyObject *found = nullptr;
    if (namespace_) {
        found = PyDict_GetItemWithError(namespace_, kCatalogRegistry.ptr());
        if (!found && PyErr_Occurred())
            throw_pending();
        Py_XINCREF(found);
    } else {
        found = PyObject_GetAttr(package, kCatalogRegistry.ptr());
        if (!found) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                throw_pending();
            PyErr_Clear();
        }
    }
    if (!found) {
        if (!create)
            return nullptr;
        found = checked(PyDict_New()).release().ptr();
        if (PyObject_SetAttr(package, kCatalogRegistry.ptr(), found) != 0) {
            Py_DECREF(found);
            throw_pending();
        }
    }
    registry = found;  // the reference is kept for the life of the process
    return registry;
}

nb::object catalog_entry(nb::handle connection) {
    PyObject *registry = catalog_registry(false);
    if (!registry || PyDict_GET_SIZE(registry) == 0)
        return {};
    nb::object key = checked(PyLong_FromVoidPtr(connection.ptr()));
    PyObject *entry = PyDict_GetItemWithError(registry, key.ptr());
    if (!entry) {
        if (PyErr_Occurred())
            throw_pending();
        return {};
    }
    if (PyWeakref_GetObject(PyTuple_GET_ITEM(entry, 0)) != connection.ptr())
        return {};
    return nb::borrow(entry);
}

nb::object open_cursor(nb::handle connection) {
    nb::object cursor = call_method(connection, kCursor);
    nb::object entry = catalog_entry(connection);
    nb::handle setup = entry.is_valid() ? nb::handle(PyTuple_GET_ITEM(entry.ptr(), 1)) : kNoReplacementScans.handle();
    try {
        call_method(cursor, kExecute, setup);
    } catch (nb::python_error &) {
        close_quietly(cursor);
        throw;
    }
    return cursor;
}

ReadCursors &read_cursors() {
    static ReadCursors cursors;
    return cursors;
}

nb::object execute(nb::handle target, nb::handle sql) {
    return call_method(target, kExecute, sql);
}

nb::object execute(nb::handle target, const std::string &sql) {
    return call_method(target, kExecute, make_str(sql));
}

nb::object execute(nb::handle target, const std::string &sql, nb::handle params) {
    return call_method(target, kExecute, make_str(sql), params);
}

nb::object fetch_first(nb::handle result) {
    nb::object row = fetchone(result);
    if (!is_none(row) && is_connection(loaded_module(), result))
        fetchall(result);
    return row;
}

bool is_plain_identifier(nb::handle name) {
    return PyUnicode_CheckExact(name.ptr()) && PyUnicode_IS_ASCII(name.ptr()) &&
           names::is_ascii_identifier(str_view(name));
}

void require_plain_identifier(nb::handle name, nb::handle error_class) {
    auto refuse = [&](const char *why) {
        // A name holding lone surrogates has no UTF-8 text: shown as ascii() shows it.
        std::string shown = guarded([&] { return to_text(name); },
                                    [&](nb::python_error &) { return to_text(checked(PyObject_ASCII(name.ptr()))); });
        raise_plain(error_class.is_valid() ? nb::borrow(error_class) : this_module().get(kBrindleError),
                    "Invalid table name '" + shown + "': " + why);
    };
    if (!is_plain_identifier(name))
        refuse("table names must be plain identifiers "
               "(ASCII letters, digits and underscores, not starting with a digit)");
    if (names::is_reserved_keyword(str_view(name)))
        refuse("it is a reserved SQL keyword");
    if (names::is_internal_catalog_name(str_view(name)))
        refuse("it is the name of one of DuckDB's own catalog views");
}

}  // namespace brindle::interop::duck
