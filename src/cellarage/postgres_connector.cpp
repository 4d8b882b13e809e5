// PostgresConnector: the external snapshot store's connector for PostgreSQL,
// over one psycopg 3 connection.
//
// psycopg is imported when a connector is built, never with the module: a
// service that keeps no snapshots in PostgreSQL does not need it installed.
//
// Statement bounds. psycopg waits for the server without a limit of its own
// (a statement_timeout runs in the backend, so a frozen one never answers),
// so each statement runs on a daemon thread of its own and the caller waits
// for it at most `timeout` seconds. A step given up on keeps its thread until
// the server answers; that thread then closes the connection, so that the
// transaction it holds open (and its row locks) goes too. The worker's frame
// owns no Python reference while it waits for the server: a daemon thread
// that wants the GIL back after finalisation has begun is ended by a forced
// unwind, which then runs no destructor of ours.
#include "cellarage.h"
#include "interop/owner.h"
#include "texts.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>

namespace brindle::cellarage {
namespace {

// Instance attributes (private: the connection string may hold a password).
const Name kDsn{"_dsn"};
const Name kTimeout{"_timeout"};
const Name kConnection{"_connection"};
const Name kCursor{"_cursor"};
// (service, database, table) of a save's DELETE awaiting its INSERT, or None.
const Name kPending{"_pending"};
// A threading.RLock held by each public method for its whole run, so that
// close() (the manager's, at shutdown) never pulls the connection from under
// a statement another thread is running: psycopg would free it mid-call.
// Waited for at most `timeout` seconds, through acquire() (the GIL released);
// re-entered by execute()'s own commit(). Nothing else is taken inside it,
// and the worker threads never take it.
const Name kLock{"_lock"};

const Name kConnect{"connect"};
const Name kCursorMethod{"cursor"};
const Name kExecute{"execute"};
const Name kFetchone{"fetchone"};
const Name kFetchall{"fetchall"};
const Name kCommit{"commit"};
const Name kRollback{"rollback"};
const Name kClose{"close"};
const Name kClosed{"closed"};
const Name kBroken{"broken"};
const Name kOperationalError{"OperationalError"};
const Name kConninfoToDict{"conninfo_to_dict"};
const Name kThread{"Thread"};
const Name kStart{"start"};
const Name kJoin{"join"};
const Name kRLock{"RLock"};
const Name kAcquire{"acquire"};

nb::object import_psycopg(const char *name) {
    PyObject *module = PyImport_ImportModule(name);
    if (module)
        return nb::steal(module);
    nb::python_error e;
    if (!e.matches(PyExc_ImportError))
        throw e;
    raise_from(nb::handle(PyExc_ImportError), fill(text::kNeedsPsycopg, {{"error", error_text(e)}}), e);
}

nb::object psycopg() { return import_psycopg("psycopg"); }

// One bounded step: the call, and who finished first, the worker or the
// caller's wait.
enum Phase : int { kRunning, kDone, kAbandoned };

struct BoundedStep {
    static constexpr const char *kTypeName = "brindle.cellarage._BoundedStep";
    nb::object fn, args, connection, error;
    std::atomic<int> phase{kRunning};

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(fn.ptr());
        Py_VISIT(args.ptr());
        Py_VISIT(connection.ptr());
        Py_VISIT(error.ptr());
        return 0;
    }
    void clear() {
        fn = nb::object();
        args = nb::object();
        connection = nb::object();
        error = nb::object();
    }
};

// The pending exception, normalised, with its traceback on it.
nb::object fetch_exception() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return nb::steal(value);
}

[[noreturn]] void raise_again(nb::handle error) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

// The worker thread's target. Raw references only until the step is over
// (see the top of the file).
nb::object run_step(const Args &a) {
    BoundedStep *step = owned_value<BoundedStep>(a[0]);
    if (!step || !step->fn.is_valid())
        return nb::none();
    PyObject *result = PyObject_Call(step->fn.ptr(), step->args.ptr(), nullptr);
    if (result)
        Py_DECREF(result);
    else
        step->error = fetch_exception();
    int expected = kRunning;
    if (step->phase.compare_exchange_strong(expected, kDone) || !step->connection.is_valid() ||
        is_none(step->connection))
        return nb::none();
    PyObject *closed = call_method_raw(step->connection.ptr(), kClose);
    if (closed)
        Py_DECREF(closed);
    else if (PyErr_ExceptionMatches(PyExc_Exception))
        PyErr_Clear();  // closing a connection that just failed: nothing left to save
    else
        throw_pending();
    return nb::none();
}

// The worker's function object, made once with the module and kept for the
// life of the process.
PyObject *g_run_step = nullptr;

bool is_broken(nb::handle self) {
    nb::object connection = attr(self, kConnection);
    return is_none(connection) || truth(attr(connection, kClosed)) || truth(attr(connection, kBroken));
}

// Forgets the connection; a hung one is left to its worker (closing it here
// could hang too, or pull it from under the worker).
void abandon(nb::handle self) {
    set_attr(self, kConnection, nb::none());
    set_attr(self, kCursor, nb::none());
}

void give_up(nb::handle self) {
    abandon(self);
    set_attr(self, kPending, nb::none());
}

// fn(*args) on a worker thread, waited for at most the timeout.
void bounded(nb::handle self, nb::handle fn, nb::handle args) {
    nb::object owner = make_owner<BoundedStep>();
    BoundedStep *step = owned_value<BoundedStep>(owner);
    step->fn = nb::borrow(fn);
    step->args = nb::borrow(args);
    step->connection = attr(self, kConnection);
    nb::object timeout = attr(self, kTimeout);
    nb::object thread = attr(import("threading"), kThread)(
        nb::arg("target") = nb::handle(g_run_step), nb::arg("args") = nb::make_tuple(owner),
        nb::arg("name") = text::kWorkerThreadName, nb::arg("daemon") = true);
    call_method(thread, kStart);
    try {
        call_method(thread, kJoin, timeout);  // waits with the GIL released
    } catch (nb::python_error &) {
        // Interrupted while waiting: the connection's state is unknown.
        int expected = kRunning;
        if (step->phase.compare_exchange_strong(expected, kAbandoned))
            give_up(self);
        throw;
    }
    int expected = kRunning;
    if (step->phase.compare_exchange_strong(expected, kAbandoned)) {
        give_up(self);
        throw_error(PyExc_TimeoutError, fill(text::kNoAnswer, {{"timeout", to_text(timeout)}}));
    }
    if (step->error.is_valid())
        raise_again(step->error);
}

void connect(nb::handle self) {
    double timeout = PyFloat_AsDouble(attr(self, kTimeout).ptr());
    if (timeout == -1.0 && PyErr_Occurred())
        throw_pending();
    // autocommit off: this class commits.
    nb::object connection = attr(psycopg(), kConnect)(
        attr(self, kDsn), nb::arg("connect_timeout") = std::max(1L, std::lround(timeout)));
    set_attr(self, kConnection, connection);
    set_attr(self, kCursor, call_method(connection, kCursorMethod));
}

void send(nb::handle self, nb::handle sql, nb::handle params) {
    if (is_broken(self))
        connect(self);
    bounded(self, attr(attr(self, kCursor), kExecute), nb::make_tuple(sql, params));
}

// After a failed statement: nothing is pending any more, and the transaction
// is rolled back, or the connection given up when that fails too.
void fail(nb::handle self) {
    set_attr(self, kPending, nb::none());
    if (is_broken(self)) {
        abandon(self);
        return;
    }
    nb::object connection = attr(self, kConnection);
    guarded([&] { bounded(self, attr(connection, kRollback), nb::tuple()); },
            [&](nb::python_error &) { abandon(self); });
}

// Holds the connector's lock for the scope.
class Busy {
public:
    explicit Busy(nb::handle self) {
        nb::object lock = attr(self, kLock);
        nb::object timeout = attr(self, kTimeout);
        if (!truth(lock.attr(kAcquire.handle())(nb::arg("timeout") = timeout)))
            throw_error(PyExc_TimeoutError, fill(text::kConnectorInUse, {{"timeout", to_text(timeout)}}));
        guard_.emplace(lock, std::adopt_lock);
    }

private:
    std::optional<PyLockGuard> guard_;
};

nb::object key_of(nb::handle params) {
    nb::object head = checked(PySequence_GetSlice(params.ptr(), 0, 3));
    return checked(PySequence_Tuple(head.ptr()));
}

bool completes_save(nb::handle pending, nb::handle sql, nb::handle params) {
    if (is_none(pending) || str_view(sql).rfind("INSERT", 0) != 0)
        return false;
    int same = PyObject_RichCompareBool(key_of(params).ptr(), pending.ptr(), Py_EQ);
    if (same < 0)
        throw_pending();
    return same == 1;
}

nb::object connector_init(const Args &a) {
    nb::handle self = a[0], dsn = a.str(1), timeout = a[2];
    if (PyBool_Check(timeout.ptr()) || !(PyLong_Check(timeout.ptr()) || PyFloat_Check(timeout.ptr())))
        throw_type_error(fill(text::kTimeoutNotNumber, {{"type", Py_TYPE(timeout.ptr())->tp_name}}));
    double seconds = PyFloat_AsDouble(timeout.ptr());
    if (seconds == -1.0 && PyErr_Occurred())
        throw_pending();
    if (!std::isfinite(seconds) || seconds <= 0)
        throw_value_error(fill(text::kTimeoutNotPositive, {{"value", to_text(timeout)}}));
    // A malformed connection string is refused now, not at the first save.
    call_method(import_psycopg("psycopg.conninfo"), kConninfoToDict, dsn);
    set_attr(self, kDsn, dsn);
    set_attr(self, kTimeout, nb::float_(seconds));
    set_attr(self, kConnection, nb::none());
    set_attr(self, kCursor, nb::none());
    set_attr(self, kPending, nb::none());
    set_attr(self, kLock, call_method(import("threading"), kRLock));
    return nb::none();
}

nb::object connector_execute(const Args &a) {
    nb::handle self = a[0], sql = a.str(1), params = a[2];
    Busy busy(self);
    nb::object pending = attr(self, kPending);
    bool finishing_save = completes_save(pending, sql, params);
    if (!is_none(pending) && !finishing_save)
        call_method(self, kCommit);
    nb::object operational_error = attr(psycopg(), kOperationalError);
    try {
        send(self, sql, params);
    } catch (nb::python_error &e) {
        if (!is_exception_family(e))
            throw;
        if (!e.matches(operational_error) || !is_broken(self)) {
            fail(self);
            throw;
        }
        // The server went away under us: start again on a new connection,
        // with the save's DELETE, which went down with the old one.
        abandon(self);
        try {
            nb::object still_pending = attr(self, kPending);
            if (finishing_save && !is_none(still_pending))
                send(self, nb::str(text::kDeleteOne), still_pending);
            send(self, sql, params);
        } catch (nb::python_error &again) {
            if (is_exception_family(again))
                fail(self);
            throw;
        }
    }
    if (str_view(sql) == text::kDeleteOne)
        set_attr(self, kPending, checked(PySequence_Tuple(params.ptr())));
    else
        call_method(self, kCommit);
    return nb::none();
}

nb::object fetch(nb::handle self, const Name &method) {
    Busy busy(self);
    nb::object cursor = attr(self, kCursor);
    if (is_none(cursor))
        throw_error(PyExc_RuntimeError, text::kNothingToFetch);
    return call_method(cursor, method);
}

nb::object connector_fetchone(const Args &a) { return fetch(a[0], kFetchone); }

nb::object connector_fetchall(const Args &a) { return fetch(a[0], kFetchall); }

nb::object connector_commit(const Args &a) {
    nb::handle self = a[0];
    Busy busy(self);
    set_attr(self, kPending, nb::none());
    if (!is_broken(self))
        bounded(self, attr(attr(self, kConnection), kCommit), nb::tuple());
    return nb::none();
}

nb::object connector_close(const Args &a) {
    nb::handle self = a[0];
    Busy busy(self);
    nb::object connection = attr(self, kConnection);
    if (is_none(connection))
        return nb::none();
    auto close_if_ours = [&] {
        // A connection the commit gave up on belongs to its worker now.
        if (attr(self, kConnection).ptr() != connection.ptr())
            return;
        abandon(self);
        call_method(connection, kClose);
    };
    try {
        if (!is_broken(self))
            call_method(self, kCommit);
    } catch (nb::python_error &) {
        ignore_failure(close_if_ours);
        throw;
    }
    close_if_ours();
    return nb::none();
}

}  // namespace

void init_postgres_connector(nb::module_ &m) {
    const FunctionMaker method(kModule);
    g_run_step = make_function({kModule, "PostgresConnector._run_step", nullptr, nullptr}, {"step"}, run_step)
                     .release()
                     .ptr();
    nb::object cls = make_class(kModule, "PostgresConnector", text::kConnectorClassDoc, {
        {"__init__", method("PostgresConnector.__init__", text::kConnectorInitDoc,
                            {"self", {"dsn", "str"}, {"timeout", "float", nb::float_(30.0)}}, nullptr,
                            connector_init)},
        {"execute", method("PostgresConnector.execute", text::kConnectorExecuteDoc,
                           {"self", {"sql", "str"}, {"params", "Sequence[Any]"}}, nullptr, connector_execute)},
        {"fetchone", method("PostgresConnector.fetchone", text::kConnectorFetchoneDoc, {"self"},
                            "Optional[Tuple[Any, ...]]", connector_fetchone)},
        {"fetchall", method("PostgresConnector.fetchall", text::kConnectorFetchallDoc, {"self"},
                            "List[Tuple[Any, ...]]", connector_fetchall)},
        {"commit", method("PostgresConnector.commit", text::kConnectorCommitDoc, {"self"}, nullptr,
                          connector_commit)},
        {"close", method("PostgresConnector.close", text::kConnectorCloseDoc, {"self"}, nullptr, connector_close)},
    });
    m.attr("PostgresConnector") = cls;
}

}  // namespace brindle::cellarage
