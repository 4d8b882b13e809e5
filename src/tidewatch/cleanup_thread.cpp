// The background cleanup thread of TTLRegistry.
//
// Shutdown safety. CPython 3.11 ends a daemon thread that wants the GIL back
// after finalisation has begun with pthread_exit, a forced unwind through
// whatever C++ frames are on its stack. Destructors run by that unwind would
// drop Python references (or release a threading.Lock) without the GIL. Two
// measures keep that from ever touching Python state:
//  - The loop's own frame owns nothing: between passes (the stop test and the
//    wait, which is where a daemon thread spends its life) it works on raw
//    references only, so an unwind from there runs no destructor at all.
//  - A pass does own objects, so the interpreter must not finalise while one
//    is running: an atexit hook (atexit runs before finalisation starts) tells
//    every loop to finish and waits until no thread is inside a pass. A loop
//    told to finish starts no further pass, and a running pass stops before
//    its next callback.
#include "interop/handled.h"
#include "texts.h"
#include "tidewatch.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

namespace brindle::tidewatch {
namespace {

const Name kIsAlive{"is_alive"};
const Name kIsSet{"is_set"};
const Name kClear{"clear"};
const Name kSet{"set"};
const Name kStart{"start"};
const Name kJoin{"join"};
const Name kThread{"Thread"};
const Name kWait{"wait"};
const Name kItems{"items"};
const Name kCleanupLoop{"_cleanup_loop"};
const Name kRunCleanup{"_run_cleanup"};
const Name kGetAllEntries{"get_all_entries"};
const Name kMarkStale{"mark_stale"};

// Set once by the exit hook; read by every loop and pass. Both sides hold the
// GIL when they touch it, so a loop that sees it clear cannot be overtaken by
// the hook's wait below.
std::atomic<bool> g_exiting{false};
// Cleanup threads currently between waking up and their next stop test.
std::atomic<int> g_threads_in_pass{0};
// True on a cleanup thread: its passes also end early on a stop (a pass
// called directly runs whole).
thread_local bool t_cleanup_loop = false;

// How long a stop, and the exit hook, wait for a pass to end (a callback
// dropping a large table).
constexpr auto kStopWait = std::chrono::seconds(5);
constexpr auto kExitWait = kStopWait;

class InPass {
public:
    InPass() { g_threads_in_pass.fetch_add(1); }
    ~InPass() { g_threads_in_pass.fetch_sub(1); }
    InPass(const InPass &) = delete;
    InPass &operator=(const InPass &) = delete;
};

// --- raw-reference helpers for the loop's own frame ---------------------------
// No owning C++ object may be alive in these or in cleanup_loop itself.

// self._cleanup_stop_event.is_set(): 1, 0, or -1 with the error set.
int stop_requested(PyObject *self) {
    PyObject *event = PyObject_GetAttr(self, kCleanupStopEvent.ptr());
    if (!event)
        return -1;
    PyObject *result = PyObject_CallMethodNoArgs(event, kIsSet.ptr());
    Py_DECREF(event);
    if (!result)
        return -1;
    int set = PyObject_IsTrue(result);
    Py_DECREF(result);
    return set;
}

// What waiting out the interval ended with.
enum class Woken { Interval, Stop, Error };

// self._cleanup_stop_event.wait(self._cleanup_interval_minutes * 60): the
// interval runs out, or a stop ends the wait at once. Error leaves the
// Python error set.
Woken wait_interval(PyObject *self) {
    PyObject *minutes = PyObject_GetAttr(self, kCleanupInterval.ptr());
    if (!minutes)
        return Woken::Error;
    PyObject *seconds = PyNumber_Multiply(minutes, sixty());
    Py_DECREF(minutes);
    if (!seconds)
        return Woken::Error;
    PyObject *event = PyObject_GetAttr(self, kCleanupStopEvent.ptr());
    PyObject *result = event ? PyObject_CallMethodOneArg(event, kWait.ptr(), seconds) : nullptr;
    Py_XDECREF(event);
    Py_DECREF(seconds);
    if (!result)
        return Woken::Error;
    int set = PyObject_IsTrue(result);
    Py_DECREF(result);
    if (set < 0)
        return Woken::Error;
    return set ? Woken::Stop : Woken::Interval;
}

// --- one pass -------------------------------------------------------------

std::string table_message(const char *tmpl, nb::handle database, nb::handle table) {
    return fill(tmpl, {{"database", str_view(database)}, {"table", str_view(table)}});
}

// The pass judged the table without holding anything; before it is handed
// over for dropping, make sure the decision still holds: the same entry is
// filed under the pair (not re-stored since), it is still past its
// time-to-live at the pass's instant and nobody has started reading it. The
// fields are read under the lock, the clock's arithmetic done after it.
bool still_due(nb::handle self, nb::handle database, nb::handle table, nb::handle entry,
               nb::handle at) {
    std::optional<EntryFacts> facts;
    {
        // The pass holds no other lock; nothing is logged or called back here.
        PyLockGuard locked(attr(self, kRegistryLock));
        nb::object current = find_entry(attr(self, kRegistry), database, table);
        if (!current.is_valid() || !current.is(entry))
            return false;
        facts = facts_of(entry);
    }
    return past_ttl(*facts, at) && !has_readers(*facts);
}

// The entry's fields at one moment, read under the lock.
EntryFacts read_facts(nb::handle self, nb::handle entry) {
    PyLockGuard locked(attr(self, kRegistryLock));
    return facts_of(entry);
}

void call_back(nb::handle self, nb::handle database, nb::handle table) {
    nb::object callback = attr(self, kCleanupCallback);
    if (!truth(callback))
        return;
    guarded([&] { call(callback, database, table); },
            [&](nb::python_error &e) {
                log(logger_of(self), Level::Error, [&] {
                    return fill(text::kCallbackFailed, {{"database", str_view(database)},
                                                        {"table", str_view(table)},
                                                        {"error", error_text(e)}});
                });
            });
}

void judge(nb::handle self, nb::handle database, nb::handle table, nb::handle entry,
           nb::handle at) {
    EntryFacts facts = read_facts(self, entry);
    if (truth(facts.scheduler_managed) || !past_ttl(facts, at))
        return;
    if (has_readers(facts)) {
        call_method(self, kMarkStale, database, table);
        log(logger_of(self), Level::Info, [&] {
            return fill(text::kExpiredWithReaders, {{"database", str_view(database)},
                                                    {"table", str_view(table)},
                                                    {"active_readers", to_text(facts.active_readers)}});
        });
        return;
    }
    if (!still_due(self, database, table, entry, at))
        return;
    log(logger_of(self), Level::Info, [&] { return table_message(text::kCleaningUp, database, table); });
    call_back(self, database, table);
}

bool stopped_mid_pass(nb::handle self) {
    if (!t_cleanup_loop)
        return false;
    int stop = stop_requested(self.ptr());
    if (stop < 0)
        throw nb::python_error();
    return stop != 0;
}

nb::object run_cleanup(const Args &a) {
    nb::handle self = a[0];
    nb::object snapshot = call_method(self, kGetAllEntries);
    nb::object at = now();
    for (nb::handle db_tables : call_method(snapshot, kItems)) {
        nb::object database = db_tables[0];
        nb::object tables = db_tables[1];
        for (nb::handle table_entry : call_method(tables, kItems)) {
            if (g_exiting.load() || stopped_mid_pass(self))
                return nb::none();
            judge(self, database, table_entry[0], table_entry[1], at);
        }
    }
    return nb::none();
}

// --- the loop ---------------------------------------------------------------

// The part of an iteration that owns objects: runs the pass (or reports the
// failed wait) and logs a failure of the Exception family. Anything else
// propagates and ends the loop.
NB_NOINLINE void pass_or_report(PyObject *self, bool slept) {
    nb::handle s(self);
    guarded(
        [&] {
            if (!slept)
                throw nb::python_error();
            call_method(s, kRunCleanup);
        },
        [&](nb::python_error &e) {
            log_caught(logger_of(s), Level::Error, e,
                       [&] { return fill(text::kLoopError, {{"error", error_text(e)}}); });
        });
}

nb::object cleanup_loop(const Args &a) {
    PyObject *self = a[0].ptr();
    t_cleanup_loop = true;
    for (;;) {
        if (g_exiting.load())
            break;
        int stop = stop_requested(self);
        if (stop < 0)
            throw nb::python_error();
        if (stop)
            break;
        Woken woken = wait_interval(self);
        InPass in_pass;
        if (g_exiting.load()) {
            if (woken == Woken::Error)
                PyErr_Clear();
            break;
        }
        // A stop ends the loop without a pass: once stop_cleanup_thread has
        // returned, nothing more is handed to the callback.
        if (woken == Woken::Stop)
            break;
        pass_or_report(self, woken == Woken::Interval);
    }
    return nb::none();
}

// --- start and stop ---------------------------------------------------------

bool alive(nb::handle thread) { return !is_none(thread) && truth(call_method(thread, kIsAlive)); }

nb::object start_cleanup_thread(const Args &a) {
    nb::handle self = a[0], callback = a[1];
    // A negative interval makes every sleep fail and the loop log that
    // failure back to back; 0 runs passes back to back, which tests use.
    nb::object interval = a.non_negative_integer(2);
    if (alive(attr(self, kCleanupThread))) {
        log(logger_of(self), Level::Warning, [] { return std::string(text::kAlreadyRunning); });
        return nb::none();
    }
    set_attr(self, kCleanupCallback, callback);
    set_attr(self, kCleanupInterval, interval);
    call_method(attr(self, kCleanupStopEvent), kClear);
    nb::object thread = attr(this_module().get(kThreading), kThread)(
        nb::arg("target") = attr(self, kCleanupLoop), nb::arg("daemon") = true,
        nb::arg("name") = text::kThreadName);
    set_attr(self, kCleanupThread, thread);
    call_method(thread, kStart);
    log(logger_of(self), Level::Info,
        [&] { return fill(text::kStarted, {{"interval_minutes", to_text(interval)}}); });
    return nb::none();
}

nb::object stop_cleanup_thread(const Args &a) {
    nb::handle self = a[0];
    nb::object thread = attr(self, kCleanupThread);
    if (!alive(thread))
        return nb::none();
    call_method(attr(self, kCleanupStopEvent), kSet);
    // The set wakes a waiting thread at once; only a pass under way (a
    // callback dropping a large table) can keep it, and not past the bound.
    attr(thread, kJoin)(nb::arg("timeout") = kStopWait.count());
    if (alive(thread))
        log(logger_of(self), Level::Warning,
            [] { return fill(text::kStillRunning, {{"seconds", std::to_string(kStopWait.count())}}); });
    else
        log(logger_of(self), Level::Info, [] { return std::string(text::kStopped); });
    return nb::none();
}

// --- interpreter exit -------------------------------------------------------

nb::object finish_cleanup_threads(const Args &) {
    g_exiting.store(true);
    {
        ReleaseGil released;
        auto deadline = std::chrono::steady_clock::now() + kExitWait;
        while (g_threads_in_pass.load() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return nb::none();
}

}  // namespace

void add_cleanup_methods(nb::handle cls) {
    const FunctionMaker method(kModuleName);
    nb::setattr(cls, "start_cleanup_thread",
                method("TTLRegistry.start_cleanup_thread", text::kStartCleanupDoc,
                       {"self", "cleanup_callback", {"interval_minutes", "int", nb::int_(5)}},
                       nullptr, start_cleanup_thread));
    nb::setattr(cls, "stop_cleanup_thread",
                method("TTLRegistry.stop_cleanup_thread", text::kStopCleanupDoc, {"self"}, nullptr,
                       stop_cleanup_thread));
    nb::setattr(cls, "_cleanup_loop",
                method("TTLRegistry._cleanup_loop", text::kCleanupLoopDoc, {"self"}, nullptr, cleanup_loop));
    nb::setattr(cls, "_run_cleanup",
                method("TTLRegistry._run_cleanup", text::kRunCleanupDoc, {"self"}, nullptr, run_cleanup));
}

void install_exit_guard() {
    nb::object hook = make_function({kModuleName, "_finish_cleanup_threads", nullptr, nullptr}, {},
                                    finish_cleanup_threads);
    static const Name kRegister{"register"};
    call_method(import("atexit"), kRegister, hook);
}

}  // namespace brindle::tidewatch
