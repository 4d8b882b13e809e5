// The connection map and the keys' write locks: lookups, removals and the
// retirement of what leaves the map.
#include "connections.h"
#include "texts.h"

#include <algorithm>

namespace brindle::connections {
namespace {

const Name kConfig{"config"};
const Name kConnections{"_connections"};
const Name kConnectionLock{"_connection_lock"};
const Name kLocks{"_locks"};
const Name kThreading{"threading"};
const Name kLock{"Lock"};
const Name kKeys{"keys"};
const Name kItems{"items"};
const Name kClear{"clear"};

}  // namespace

double seconds_setting(nb::handle self, const Name &name) {
    nb::object seconds = optional_attr(attr(self, kConfig), name);
    if (!seconds.is_valid() || is_none(seconds))
        return -1;
    return nb::cast<double>(seconds);
}

WriteDeadline::WriteDeadline(nb::handle self)
    : seconds_(seconds_setting(self, kLockTimeoutSeconds)), start_(std::chrono::steady_clock::now()) {}

double WriteDeadline::left() const {
    if (seconds_ < 0)
        return -1;
    std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start_;
    return std::max(0.0, seconds_ - spent.count());
}

namespace {
// The write locks this thread holds, by identity.
thread_local std::vector<PyObject *> t_write_locks;
}  // namespace

Wait HeldWriteLock::acquire(double timeout_seconds) {
    static const Name kAcquire{"acquire"};
    if (std::find(t_write_locks.begin(), t_write_locks.end(), lock_.ptr()) != t_write_locks.end())
        return Wait::ReEntered;
    nb::object timeout = timeout_seconds < 0 ? nb::object(nb::int_(-1)) : nb::object(nb::float_(timeout_seconds));
    if (!truth(attr(lock_, kAcquire)(nb::arg("timeout") = timeout)))
        return Wait::TimedOut;
    held_ = true;
    t_write_locks.push_back(lock_.ptr());
    return Wait::Held;
}

HeldWriteLock::~HeldWriteLock() {
    if (!held_)
        return;
    t_write_locks.erase(std::find(t_write_locks.begin(), t_write_locks.end(), lock_.ptr()));
    static const Name kRelease{"release"};
    nb::error_scope keep_pending;
    try {
        call_method(lock_, kRelease);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(lock_);
    }
}

nb::object write_lock(nb::handle self, nb::handle key) {
    PyLockGuard held(attr(self, kConnectionLock));
    nb::object locks = attr(self, kLocks);
    nb::object lock = find_item(locks, key);
    if (!lock.is_valid()) {
        lock = call_method(this_module().get(kThreading), kLock);
        set_item(locks, key, lock);
    }
    return lock;
}

void retire_keys(nb::handle self, const std::vector<nb::object> &keys, std::vector<Retired> &retired) {
    nb::object connections = attr(self, kConnections);
    std::vector<std::pair<nb::object, nb::object>> taken;
    {
        PyLockGuard held(attr(self, kConnectionLock));
        for (const nb::object &key : keys) {
            nb::object connection = find_item(connections, key);
            if (!connection.is_valid())
                continue;
            del_item(connections, key);
            taken.emplace_back(key, connection);
        }
    }
    for (size_t i = 0; i < taken.size(); ++i) {
        try {
            long running = retire_connection(taken[i].second);
            retired.push_back({to_text(taken[i].first), running});
        } catch (nb::python_error &) {
            PyLockGuard held(attr(self, kConnectionLock));
            for (size_t j = i; j < taken.size(); ++j)
                if (!find_item(connections, taken[j].first).is_valid())
                    set_item(connections, taken[j].first, taken[j].second);
            throw;
        }
    }
}

std::vector<nb::object> keys_of_database(nb::handle self, nb::handle database) {
    std::vector<nb::object> keys;
    PyLockGuard held(attr(self, kConnectionLock));
    nb::object all = checked(PySequence_List(call_method(attr(self, kConnections), kKeys).ptr()));
    for (nb::handle key : all)
        if (equal(nb::object(key[0]), database))
            keys.push_back(nb::borrow(key));
    return keys;
}

void log_deferred(nb::handle self, const std::vector<Retired> &retired) {
    for (const Retired &r : retired)
        if (r.running > 0)
            log(logger_of(self), Level::Debug, [&] {
                return fill(text::kCloseDeferred, {{"key", r.key}, {"count", std::to_string(r.running)}});
            });
}

std::vector<CloseOutcome> close_all(nb::handle self, std::vector<nb::object> &keys) {
    std::vector<CloseOutcome> outcomes;
    nb::object items;
    {
        PyLockGuard held(attr(self, kConnectionLock));
        nb::object connections = attr(self, kConnections);
        items = checked(PySequence_List(call_method(connections, kItems).ptr()));
        call_method(connections, kClear);
    }
    // Closed with _connection_lock free: a slow close stalls nobody else.
    for (nb::handle item : items) {
        nb::object key = item[0];
        keys.push_back(key);
        CloseOutcome outcome{to_text(key), false, {}, 0};
        guarded([&] { outcome.running = retire_connection(nb::object(item[1])); },
                [&](nb::python_error &e) {
                    outcome.failed = true;
                    outcome.error = error_text(e);
                });
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

void log_outcomes(nb::handle self, const std::vector<CloseOutcome> &outcomes) {
    nb::object logger = logger_of(self);
    for (const CloseOutcome &o : outcomes) {
        if (o.failed)
            log(logger, Level::Error, [&] { return fill(text::kErrorClosing, {{"key", o.key}, {"error", o.error}}); });
        else if (o.running > 0)
            log(logger, Level::Debug, [&] {
                return fill(text::kCloseDeferred, {{"key", o.key}, {"count", std::to_string(o.running)}});
            });
        else
            log(logger, Level::Debug, [&] { return fill(text::kClosedConnection, {{"key", o.key}}); });
    }
}

}  // namespace brindle::connections
