// Connections in use: counted statements, and the retirement that waits for them.
#include "connections.h"
#include "texts.h"

#include <mutex>
#include <unordered_map>

namespace brindle::connections {
namespace {

const Name kPartial{"partial"};

struct UseState {
    long running = 0;       // manager statements running on the connection
    bool retired = false;   // left the manager: refuse new statements, close after the last
    bool handed_out = false;  // get_raw_connection() gave it away: writes we cannot see
    PyObject *watch = nullptr;  // owned weakref whose callback forgets this state
};

// Guards the states; never held while Python code runs, waited for without the GIL.
std::mutex g_use_mutex;
// Keyed by connection identity. An entry lives exactly as long as its
// connection object: the weakref callback removes it, before the address can
// be reused. Leaked on purpose: connections may outlive module teardown.
auto &g_use_states = *new std::unordered_map<PyObject *, UseState>();

// Called by a connection's weakref when the connection goes: forget(address, ref).
nb::object forget_connection(const Args &a) {
    auto *connection = static_cast<PyObject *>(PyLong_AsVoidPtr(a[0].ptr()));
    if (!connection && PyErr_Occurred())
        throw_pending();
    PyObject *watch = nullptr;
    {
        MutexGuardNoGil<> held(g_use_mutex);
        auto it = g_use_states.find(connection);
        if (it != g_use_states.end()) {
            watch = it->second.watch;
            g_use_states.erase(it);
        }
    }
    Py_XDECREF(watch);
    return nb::none();
}

nb::object forget_function() {
    static PyObject *fn = make_function({"brindle.quaymaster", "_forget_connection", nullptr, nullptr},
                                        {"address", "ref"}, forget_connection)
                              .release()
                              .ptr();  // process lifetime
    return nb::borrow(fn);
}

// Makes sure the connection has a state. False when it cannot be tracked.
bool track(nb::handle connection) {
    {
        MutexGuardNoGil<> held(g_use_mutex);
        if (g_use_states.count(connection.ptr()))
            return true;
    }
    nb::object address = checked(PyLong_FromVoidPtr(connection.ptr()));
    nb::object callback = call(attr(import("functools"), kPartial), forget_function(), address);
    PyObject *watch = PyWeakref_NewRef(connection.ptr(), callback.ptr());
    if (!watch) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw_pending();
        PyErr_Clear();
        return false;
    }
    PyObject *spare = nullptr;
    {
        MutexGuardNoGil<> held(g_use_mutex);
        auto [it, inserted] = g_use_states.try_emplace(connection.ptr());
        if (inserted)
            it->second.watch = watch;
        else
            spare = watch;
    }
    Py_XDECREF(spare);
    return true;
}

enum class Entry { Entered, Refused, Untracked };

Entry enter(nb::handle connection, bool &handed_out) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            MutexGuardNoGil<> held(g_use_mutex);
            auto it = g_use_states.find(connection.ptr());
            if (it != g_use_states.end()) {
                if (it->second.retired)
                    return Entry::Refused;
                ++it->second.running;
                handed_out = it->second.handed_out;
                return Entry::Entered;
            }
        }
        if (!track(connection))
            return Entry::Untracked;
    }
    return Entry::Untracked;
}

// True when this was the last statement on a retired connection.
bool leave(PyObject *connection) {
    MutexGuardNoGil<> held(g_use_mutex);
    auto it = g_use_states.find(connection);
    if (it == g_use_states.end())
        return false;
    --it->second.running;
    return it->second.retired && it->second.running == 0;
}

void set_retired(nb::handle connection, bool retired, long *running) {
    MutexGuardNoGil<> held(g_use_mutex);
    auto it = g_use_states.find(connection.ptr());
    if (it == g_use_states.end())
        return;
    it->second.retired = retired;
    if (running)
        *running = it->second.running;
}

}  // namespace

ConnectionUse::ConnectionUse(nb::handle connection, nb::handle logger)
    : connection_(nb::borrow(connection)), logger_(nb::borrow(logger)) {
    Entry entry = enter(connection, handed_out_);
    entered_ = entry == Entry::Entered;
    refused_ = entry == Entry::Refused;
}

ConnectionUse::~ConnectionUse() {
    if (!entered_ || !leave(connection_.ptr()))
        return;
    // The last statement on a retired connection closes it. Nothing may
    // escape a destructor: a failure is logged, and one in logging reported
    // as unraisable.
    nb::error_scope keep_pending;
    try {
        close_connection(connection_);
    } catch (nb::python_error &e) {
        try {
            log(logger_, Level::Warning, [&] { return fill(text::kDeferredCloseFailed, {{"error", error_text(e)}}); });
        } catch (nb::python_error &failed) {
            failed.discard_as_unraisable(logger_);
        }
    }
}

bool mark_handed_out(nb::handle connection) {
    if (!track(connection))
        return false;
    MutexGuardNoGil<> held(g_use_mutex);
    auto it = g_use_states.find(connection.ptr());
    if (it == g_use_states.end())
        return false;
    it->second.handed_out = true;
    return true;
}

long retire_connection(nb::handle connection) {
    long running = 0;
    if (track(connection))
        set_retired(connection, true, &running);
    if (running > 0)
        return running;
    try {
        close_connection(connection);
    } catch (nb::python_error &) {
        set_retired(connection, false, nullptr);
        throw;
    }
    return 0;
}

}  // namespace brindle::connections
