// Working on DuckDB connections from C++.
//
// DuckDB's Python connection keeps one pending result, so two threads that
// execute and fetch on the same connection object can read each other's rows.
// Every statement we run on a real connection therefore goes through a cursor
// of its own (a separate engine connection on the same database). Objects that
// are not DuckDB connections are driven as they are.
#pragma once

#include "interop/core.h"
#include "interop/errors.h"
#include "interop/module.h"
#include "duck/names.h"

namespace brindle::interop {

namespace duck {

inline const Name kDuckDBPyConnection{"DuckDBPyConnection"};
inline const Name kCursor{"cursor"};
inline const Name kClose{"close"};
inline const Name kExecute{"execute"};
inline const Name kFetchone{"fetchone"};
inline const Name kFetchall{"fetchall"};
inline const Name kDf{"df"};
inline const Name kRegister{"register"};
inline const Name kUnregister{"unregister"};

// How a parameter taking a DuckDB connection is annotated (as text: the
// modules do not import the class at run time for it).
constexpr const char *kConnectionAnnotation = "DuckDBPyConnection";

// True when conn is a duckdb.DuckDBPyConnection of the duckdb module given
// (the module as it is bound now, so a patched module is respected).
bool is_connection(nb::handle duckdb_module, nb::handle conn);

// The duckdb module if the process has imported it (a real DuckDB connection
// implies it has), for modules that do not import DuckDB themselves.
nb::object loaded_module();

// cursor.close() where nothing may throw. Closing a cursor of a connection
// that is already closed fails, and then there is nothing left to free.
void close_quietly(nb::handle cursor);

// --- connections on a catalog of a shared instance --------------------------------
//
// Opening a DuckDB database costs megabytes and tens of milliseconds, so the
// manager can give a table its own catalog (ATTACH ':memory:') inside a
// database shared with others, and a connection whose USE makes that catalog
// the default. A cursor made from such a connection does not inherit its USE:
// every cursor we make from it has to say it again. The process-wide record
// of those connections is a dict in the brindle package (each extension
// module has statics of its own, the package is one): connection address ->
// (weakref to the connection, the statement that sets a new cursor of it up,
// the shared database, the catalog name). The weakref tells a live entry from
// one left by a connection whose address has been reused. Guarded by the GIL.
inline const Name kCatalogRegistry{"_duckdb_catalogs"};
inline const Name kNoReplacementScans{"SET python_enable_replacements = false"};

// The record (borrowed, kept for the process), or nullptr when nothing has
// made one yet and `create` is false.
PyObject *catalog_registry(bool create);

// The live record entry of a connection, or an invalid object.
nb::object catalog_entry(nb::handle connection);

// A new cursor of a real connection, ready for our own statements.
//
// DuckDB answers a name that is no table from a pandas DataFrame of that name
// in the topmost Python frame, which for a call into C++ is the caller's: a
// dropped table would be answered from whatever the caller keeps under its
// name. Our cursors turn that off (the setting is per connection object, so
// the caller's own connection keeps its own); a frame we mean to read is
// registered explicitly instead. A cursor of a connection on a shared
// database's catalog also makes that catalog its default, in the same call.
nb::object open_cursor(nb::handle connection);

// A private cursor of a real connection, closed when the scope ends.
class Cursor {
public:
    explicit Cursor(nb::handle connection) : cursor_(open_cursor(connection)) {}
    ~Cursor() { close_quietly(cursor_); }
    Cursor(const Cursor &) = delete;
    Cursor &operator=(const Cursor &) = delete;

    nb::handle handle() const { return cursor_; }

private:
    nb::object cursor_;
};

// Runs fn(target): on a private cursor for a real DuckDB connection, on the
// object itself otherwise.
template <typename Fn>
auto with_cursor(nb::handle duckdb_module, nb::handle connection, Fn &&fn) -> decltype(fn(connection)) {
    if (!is_connection(duckdb_module, connection))
        return fn(connection);
    Cursor cursor(connection);
    return fn(cursor.handle());
}

// One cursor per thread and connection, for reads. Making a cursor per read
// is cheap on its own, but a fresh engine connection makes its first query
// noticeably slower; reads that repeat on a thread reuse the thread's cursor.
// The cursors live in a threading.local, so a thread's cursors go when the
// thread does, and each entry holds its connection only weakly: when the
// connection is collected, its entry (and the cursor) is dropped.
// Only statements that leave no session state behind may run on these
// cursors: free SQL only when DuckDB's parser reads it as SELECTs, and a
// store's statements only when they ended well (see CursorLease).
//
// A set-up cursor costs DuckDB about 22 KB, so a thread that visits
// thousands of per_table_db tables would keep that much per table it ever
// touched: a thread keeps at most kKeptPerThread of them, and the one it
// used least recently makes way for a new one.
class ReadCursors {
public:
    // Past a few dozen tables a thread's reads rarely come back to the same
    // table soon enough for its cursor to pay for the memory it holds.
    static constexpr Py_ssize_t kKeptPerThread = 32;

    // Called once from the module's init, with the GIL held.
    void init() {
        static const Name kLocal{"local"};
        static const Name kPartial{"partial"};
        // Kept for the life of the process (never released at exit).
        local_ = call(attr(import("threading"), kLocal)).release().ptr();
        partial_ = attr(import("functools"), kPartial).release().ptr();
    }

    nb::object get(nb::handle connection) {
        nb::object cursors = per_thread();
        nb::object key = checked(PyLong_FromVoidPtr(connection.ptr()));
        PyObject *entry = live_entry(cursors, key, connection);
        if (entry && PyList_GET_ITEM(entry, 1) != Py_None) {
            nb::object cursor = nb::borrow(PyList_GET_ITEM(entry, 1));
            mark_recent(cursors, key, entry);
            return cursor;
        }
        nb::object cursor = open_cursor(connection);
        file(cursors, key, connection, entry, cursor);
        return cursor;
    }

    // This thread's cursor for the connection, taken out of the record for
    // the caller's sole use until put() brings it back: a statement that
    // runs Python code (a frame's objects, a log handler) may come back here
    // on the same thread, and then gets a fresh cursor of its own rather
    // than one with a statement under way.
    nb::object take(nb::handle connection) {
        nb::object cursors = per_thread();
        nb::object key = checked(PyLong_FromVoidPtr(connection.ptr()));
        PyObject *entry = live_entry(cursors, key, connection);
        if (!entry || PyList_GET_ITEM(entry, 1) == Py_None)
            return open_cursor(connection);
        nb::object cursor = nb::steal(PyList_GET_ITEM(entry, 1));
        PyList_SET_ITEM(entry, 1, Py_NewRef(Py_None));
        return cursor;
    }

    // Brings back a cursor from take() that its statements left as they
    // found it; a spare one (the record got another meanwhile) is closed.
    void put(nb::handle connection, nb::handle cursor) {
        nb::object cursors = per_thread();
        nb::object key = checked(PyLong_FromVoidPtr(connection.ptr()));
        PyObject *entry = live_entry(cursors, key, connection);
        if (entry && PyList_GET_ITEM(entry, 1) != Py_None) {
            close_quietly(cursor);
            return;
        }
        file(cursors, key, connection, entry, cursor);
    }

    // Drops this thread's cursor for the connection (after a failed read, so
    // that a broken cursor is never reused).
    void forget(nb::handle connection) {
        nb::object cursors = per_thread();
        nb::object key = checked(PyLong_FromVoidPtr(connection.ptr()));
        if (PyDict_DelItem(cursors.ptr(), key.ptr()) != 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                throw_pending();
            PyErr_Clear();  // it had none
        }
    }

private:
    // The record's [weakref to the connection, cursor or None] for this
    // connection (borrowed), or nullptr when it has none for this very
    // object (an entry left by a connection whose address was reused is
    // not its).
    static PyObject *live_entry(nb::handle cursors, nb::handle key, nb::handle connection) {
        PyObject *entry = PyDict_GetItemWithError(cursors.ptr(), key.ptr());
        if (!entry && PyErr_Occurred())
            throw_pending();
        if (entry && PyWeakref_GetObject(PyList_GET_ITEM(entry, 0)) == connection.ptr())
            return entry;
        return nullptr;
    }

    // The record is a dict in the order of last use: a used entry moves to
    // its end, and the oldest goes first.
    static void mark_recent(nb::handle cursors, nb::handle key, PyObject *entry) {
        nb::object held = nb::borrow(entry);
        if (PyDict_DelItem(cursors.ptr(), key.ptr()) != 0 || PyDict_SetItem(cursors.ptr(), key.ptr(), entry) != 0)
            throw_pending();
    }

    // Drops the least recently used entries beyond the bound. A cursor that
    // is still held elsewhere is under way in a statement further up this
    // thread's stack (a read that ran Python code which came back here): it
    // is only let go, and goes when that statement lets go of it too.
    static void evict_beyond_bound(nb::handle cursors) {
        while (PyDict_GET_SIZE(cursors.ptr()) > kKeptPerThread) {
            Py_ssize_t pos = 0;
            PyObject *oldest_key = nullptr, *oldest = nullptr;
            if (!PyDict_Next(cursors.ptr(), &pos, &oldest_key, &oldest))
                return;
            nb::object key = nb::borrow(oldest_key), entry = nb::borrow(oldest);
            if (PyDict_DelItem(cursors.ptr(), key.ptr()) != 0)
                throw_pending();
            nb::object cursor = nb::steal(PyList_GET_ITEM(entry.ptr(), 1));
            PyList_SET_ITEM(entry.ptr(), 1, Py_NewRef(Py_None));
            if (!is_none(cursor) && Py_REFCNT(cursor.ptr()) == 1)
                close_quietly(cursor);
        }
    }

    // Files the cursor: in the live entry when there is one, in a new entry otherwise.
    void file(nb::handle cursors, nb::handle key, nb::handle connection, PyObject *entry, nb::handle cursor) {
        if (entry) {
            PyObject *old = PyList_GET_ITEM(entry, 1);
            PyList_SET_ITEM(entry, 1, Py_NewRef(cursor.ptr()));
            Py_DECREF(old);
            mark_recent(cursors, key, entry);
            return;
        }
        // When the connection goes, the weakref's callback pops the entry:
        // partial(cursors.pop, key)(ref) is cursors.pop(key, ref).
        static const Name kPop{"pop"};
        nb::object drop_entry = call(partial_, attr(cursors, kPop), key);
        nb::object ref = checked(PyWeakref_NewRef(connection.ptr(), drop_entry.ptr()));
        nb::object pair = checked(PyList_New(2));
        PyList_SET_ITEM(pair.ptr(), 0, ref.release().ptr());
        PyList_SET_ITEM(pair.ptr(), 1, Py_NewRef(cursor.ptr()));
        if (PyDict_SetItem(cursors.ptr(), key.ptr(), pair.ptr()) != 0)
            throw_pending();
        evict_beyond_bound(cursors);
    }

    nb::object per_thread() {
        static const Name kCursors{"cursors"};
        PyObject *d = PyObject_GetAttr(local_, kCursors.ptr());
        if (d)
            return nb::steal(d);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw_pending();
        PyErr_Clear();  // the thread's first read
        nb::object fresh = checked(PyDict_New());
        set_attr(local_, kCursors, fresh);
        return fresh;
    }

    PyObject *local_ = nullptr;
    PyObject *partial_ = nullptr;
};

// The read cursors of the module this code is built into (each module has
// its own, as it has its own statics); init() from the module's init.
ReadCursors &read_cursors();

// Runs fn(target) on this thread's read cursor of a real DuckDB connection,
// on the object itself otherwise. The cursor is taken out of the record for
// the read, as a store's are: a read that runs Python code while its result
// is pending (a Python function in its SQL, a __del__ of an object the
// conversion drops) may read again on this thread, and then gets a cursor of
// its own rather than the one whose result it would overwrite. A read that
// fails does not bring its cursor back, so a broken one is never reused.
template <typename Fn>
auto with_read_cursor(ReadCursors &cursors, nb::handle duckdb_module, nb::handle connection, Fn &&fn)
    -> decltype(fn(connection)) {
    if (!is_connection(duckdb_module, connection))
        return fn(connection);
    nb::object cursor = cursors.take(connection);
    auto give_back = [&] {
        // A failure to file it back only costs a fresh cursor next time.
        try {
            cursors.put(connection, cursor);
        } catch (nb::python_error &e) {
            if (!is_exception_family(e))
                throw;
        }
    };
    try {
        if constexpr (std::is_void_v<decltype(fn(connection))>) {
            fn(cursor);
            give_back();
        } else {
            auto answer = fn(cursor);
            give_back();
            return answer;
        }
    } catch (nb::python_error &) {
        close_quietly(cursor);
        throw;
    }
}

// A cursor taken from `cursors` for one piece of work. keep() says the work
// ended well and left the cursor as it found it: the cursor goes back to
// the record. Otherwise it is closed, so a cursor left in a transaction, or
// with a frame still registered, is never used again.
class CursorLease {
public:
    CursorLease(ReadCursors &cursors, nb::handle connection)
        : cursors_(cursors), connection_(nb::borrow(connection)), cursor_(cursors.take(connection)) {}
    ~CursorLease() {
        if (!kept_) {
            close_quietly(cursor_);
            return;
        }
        // A failure to file it back only costs a fresh cursor next time.
        try {
            cursors_.put(connection_, cursor_);
        } catch (nb::python_error &) {
            close_quietly(cursor_);
        }
    }
    CursorLease(const CursorLease &) = delete;
    CursorLease &operator=(const CursorLease &) = delete;

    nb::handle handle() const { return cursor_; }
    void keep() { kept_ = true; }

private:
    ReadCursors &cursors_;
    nb::object connection_;
    nb::object cursor_;
    bool kept_ = false;
};

nb::object execute(nb::handle target, nb::handle sql);

nb::object execute(nb::handle target, const std::string &sql);

nb::object execute(nb::handle target, const std::string &sql, nb::handle params);

inline nb::object fetchone(nb::handle result) { return call_method(result, kFetchone); }
inline nb::object fetchall(nb::handle result) { return call_method(result, kFetchall); }

// result.fetchone(), leaving no result open behind it. On DuckDB 2 a result
// that has not been read to its end blocks its connection for other work
// (the caller's next con.sql() fails), so on a real connection the rest is
// read too; after a row that is the end of a one-row result. Objects that
// are not DuckDB connections are driven as they are.
nb::object fetch_first(nb::handle result);

// The pending result of result (a connection after execute()) as a pandas
// DataFrame with the dtypes and values DuckDB's df() gives, read through
// Arrow where every column's type allows (conversion.cpp); df() itself for
// the rest, and for objects that are not DuckDB connections. A result known
// to hold at most `most_rows` rows (a LIMIT) too small for Arrow to pay off
// goes through df() as well, and so does the answer to a `statement` text
// whose last answer was that small.
nb::object to_frame(nb::handle result, std::size_t most_rows = SIZE_MAX, nb::handle statement = nb::handle());

// The pending result as a pyarrow Table, as DuckDB's Arrow export types it;
// objects that are not DuckDB connections are asked for df(), and the frame
// is turned into a Table.
nb::object to_arrow_table(nb::handle result);

// Makes `frame` visible under `name` on `target` for the scope, and removes it
// afterwards on every path, so DuckDB never falls back to looking the name up
// among the caller's Python variables.
class Registration {
public:
    Registration(nb::handle target, const char *name, nb::handle frame)
        : target_(nb::borrow(target)), name_(nb::str(name)) {
        call_method(target_, kRegister, name_, frame);
    }
    ~Registration() {
        if (target_.is_valid())
            remove();
    }

    // Unregisters the frame now; false when that failed (the failure is
    // dropped, as it is when the scope ends: the work itself is done).
    bool remove() {
        nb::object target = std::move(target_);
        PyObject *r = call_method_raw(target.ptr(), kUnregister, name_.ptr());
        if (r) {
            Py_DECREF(r);
            return true;
        }
        // Keep an error already on its way out; otherwise report this one.
        PyErr_Clear();
        return false;
    }
    Registration(const Registration &) = delete;
    Registration &operator=(const Registration &) = delete;

private:
    nb::object target_;
    nb::str name_;
};

// A table name that may be spliced into SQL: a plain identifier (see names.h).
bool is_plain_identifier(nb::handle name);

// Refuses a table name that is not a plain identifier, or is a word DuckDB
// reserves, before any statement is built from it, with error_class (by
// default the BrindleError the module keeps).
void require_plain_identifier(nb::handle name, nb::handle error_class = {});

}  // namespace duck

}  // namespace brindle::interop
