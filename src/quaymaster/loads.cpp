// get_or_load(): one load of a table for every caller that needs it at once.
//
// The first caller to find a table missing runs the loader and stores its
// frame; callers arriving meanwhile wait for that load (the GIL released, no
// write lock held) and then read what it stored, or get the exception it
// raised. A finished load leaves nothing behind, so a failure is never
// remembered: the next call loads again.
#include "signals.h"
#include "state.h"
#include "texts.h"

#include <chrono>

namespace brindle::quaymaster {
namespace {

// How often a caller goes round again when the table it waited for was
// invalidated before it could read it.
constexpr int kAttempts = 3;

// How long a waiting caller sleeps before it looks for a pending signal
// (KeyboardInterrupt), with the GIL back.
constexpr std::chrono::milliseconds kWaitSlice{100};

struct Request {
    nb::handle self, database, table, loader;
    nb::object ttl;
    bool scheduler_managed, serve_stale;
    std::string key;
    // What is read of the table: invalid handles for none.
    nb::handle sql_where, columns, params;
    nb::object limit;
};

// self.query(database, table), passing on by keyword the parts of the
// question the caller gave, and only those.
nb::object query_as_asked(const Request &r) {
    nb::dict given;
    if (r.sql_where.is_valid())
        given["sql_where"] = r.sql_where;
    if (r.columns.is_valid())
        given["columns"] = r.columns;
    if (r.limit.is_valid())
        given["limit"] = r.limit;
    if (r.params.is_valid())
        given["params"] = r.params;
    if (given.size() == 0)
        return call_method(r.self, kQueryMethod, r.database, r.table);
    nb::object positional = nb::make_tuple(r.database, r.table);
    return checked(PyObject_Call(attr(r.self, kQueryMethod).ptr(), positional.ptr(), given.ptr()));
}

// The rows asked for through self.query(), or an invalid object when the
// table is not servable (missing, stale or expired).
nb::object query_if_fresh(const Request &r) {
    try {
        return query_as_asked(r);
    } catch (nb::python_error &e) {
        if (!e.matches(this_module().get(kBrindleNotFoundError)))
            throw;
        return nb::object();
    }
}

// The table's rows as they are in DuckDB, fresh or not; an invalid object when
// the table is not cached (or goes away while being read).
nb::object read_as_cached(const Request &r) {
    nb::object registry = attr(r.self, kTtlRegistry);
    auto registered = [&] { return truth(call_method(registry, kExists, r.database, r.table)); };
    if (!registered())
        return nb::object();
    try {
        auto or_none = [](nb::handle value) { return value.is_valid() ? value : nb::handle(Py_None); };
        return read_table(r.self, r.database, r.table, or_none(r.sql_where), or_none(r.columns), or_none(r.limit),
                          r.params);
    } catch (nb::python_error &e) {
        // Invalidated between the check and the read, or dropped from DuckDB
        // behind the cache's back: either way not cached.
        if (registered() && !e.matches(this_module().get(kBrindleNotFoundError)))
            throw;
        return nb::object();
    }
}

// The table's flight, joined, or started with this thread as its loader.
std::shared_ptr<Flight> join_or_lead(ManagerState &state, const Request &r, bool &leading) {
    std::shared_ptr<Flight> flight;
    {
        MutexGuardNoGil<> held(state.loads_mutex);
        auto it = state.flights.find(r.key);
        leading = it == state.flights.end();
        if (leading) {
            flight = std::make_shared<Flight>();
            flight->loader = std::this_thread::get_id();
            state.flights.emplace(r.key, flight);
        } else {
            flight = it->second;
        }
    }
    if (!leading && flight->loader == std::this_thread::get_id())
        raise_error(kBrindleError, fill_names(text::kLoadReentered, r.database, r.table));
    return flight;
}

void finish(ManagerState &state, const Request &r, Flight &flight, nb::object error, bool abandoned = false) {
    flight.error = std::move(error);
    flight.abandoned = abandoned;
    {
        MutexGuardNoGil<> held(state.loads_mutex);
        flight.done = true;
        state.flights.erase(r.key);  // the leader still holds the flight
    }
    state.load_finished.notify_all();
}

// Waits for the flight to finish, the GIL released; a pending signal in the
// main thread (Ctrl-C) ends the wait with its exception.
void wait_for(ManagerState &state, const Flight &flight) {
    for (;;) {
        {
            ReleaseGil released;
            std::unique_lock<std::mutex> held(state.loads_mutex);
            if (state.load_finished.wait_for(held, kWaitSlice, [&] { return flight.done; }))
                return;
        }
        if (PyErr_CheckSignals() != 0)
            throw_pending();
    }
}

// Raises the very exception object the load ended with, traceback and all.
[[noreturn]] void raise_again(nb::handle error) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(error.ptr()));
    Py_INCREF(type);
    Py_INCREF(error.ptr());
    PyErr_Restore(type, error.ptr(), PyException_GetTraceback(error.ptr()));
    throw_pending();
}

// Runs the loader and stores its frame; the flight ends either way. When
// another caller stored the table between our miss and our lead, its rows
// are returned instead (an invalid object otherwise). The registry alone
// cannot tell: a table dropped behind the cache's back (DROP TABLE through
// execute_sql or the raw connection) is still registered, and only a read
// finds it gone.
nb::object load(ManagerState &state, const Request &r, Flight &flight) {
    nb::object rows;
    try {
        rows = query_if_fresh(r);
        if (!rows.is_valid() && !cluster_load(r.self, r.database, r.table, r.loader, r.ttl, r.scheduler_managed)) {
            nb::object df = call(r.loader);
            attr(r.self, kStoreMethod)(r.database, r.table, df, nb::arg("ttl_minutes") = r.ttl,
                                       nb::arg("scheduler_managed") = py_bool(r.scheduler_managed));
        }
    } catch (nb::python_error &e) {
        // A failed load is every waiter's failure; an interrupted thread is
        // only its own, and the waiters go round again.
        if (is_exception_family(e))
            finish(state, r, flight, nb::borrow(e.value()));
        else
            finish(state, r, flight, nb::object(), true);
        throw;
    }
    finish(state, r, flight, nb::object());
    return rows;
}

}  // namespace

nb::object get_or_load(const Args &a) {
    Request r{a[0], a.str(1), a.str(2), a.callable(3), a.optional_integer(4), a.flag(5), a.flag(6), {},
              a.optional_str(7), a.optional_list(8), a.optional_params(10), a.optional_integer(9)};
    r.key = table_key(r.database, r.table);
    HeldState held(r.self);  // the loader and the store may replace _state
    ManagerState &state = *held;
    if (!r.ttl.is_valid())
        r.ttl = nb::none();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (nb::object rows = query_if_fresh(r); rows.is_valid())
            return rows;
        bool leading = false;
        std::shared_ptr<Flight> flight = join_or_lead(state, r, leading);
        if (leading) {
            if (nb::object rows = load(state, r, *flight); rows.is_valid())
                return rows;
        } else {
            if (r.serve_stale)
                if (nb::object rows = read_as_cached(r); rows.is_valid())
                    return rows;
            wait_for(state, *flight);
            if (flight->error.is_valid())
                raise_again(flight->error);
            if (flight->abandoned)
                continue;
        }
        // Just loaded: served even when its time-to-live is already over.
        if (nb::object rows = read_as_cached(r); rows.is_valid())
            return rows;
    }
    raise_error(kBrindleNotFoundError, fill_names(text::kTableNotFound, r.database, r.table));
}

}  // namespace brindle::quaymaster
