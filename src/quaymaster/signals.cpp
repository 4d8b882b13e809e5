// The manager's hooks into the signalman.
#include "signals.h"
#include "texts.h"

namespace brindle::quaymaster {
namespace {

const Name kSignalmanAttr{"_signalman"};
const Name kSignalmanClass{"Signalman"};
const Name kSignalEnabled{"signal_enabled"};
const Name kPrepare{"prepare"};
const Name kStart{"start"};
const Name kStop{"stop"};
const Name kStored{"stored"};
const Name kInvalidated{"invalidated"};
const Name kVersions{"versions"};
const Name kTableLock{"_table_lock"};
const Name kLoadOnce{"load_once"};
const Name kSavedAt{"_saved_at"};
const Name kGet{"get"};
const Name kDatabaseKey{"database"};
const Name kTableKey{"table"};
const Name kVersionKey{"version"};
const Name kVersionSourceKey{"version_source"};

thread_local bool t_applying_remote = false;

class ApplyingRemote {
public:
    ApplyingRemote() : was_(t_applying_remote) { t_applying_remote = true; }
    ~ApplyingRemote() { t_applying_remote = was_; }

private:
    bool was_;
};

// self._signalman, or an invalid object when it is off (or never set up).
nb::object signalman_of(nb::handle self) {
    PyObject *found = PyObject_GetAttr(self.ptr(), kSignalmanAttr.ptr());
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw_pending();
        PyErr_Clear();
        return nb::object();
    }
    nb::object signalman = nb::steal(found);
    return is_none(signalman) ? nb::object() : signalman;
}

void warn(nb::handle self, const char *tmpl, const nb::python_error &e) {
    log(logger_of(self), Level::Warning, [&] { return fill(tmpl, {{"error", error_text(e)}}); });
}

}  // namespace

void signal_open(nb::handle self) {
    set_attr(self, kSignalmanAttr, nb::none());
    nb::object config = config_of(self);
    PyObject *enabled = PyObject_GetAttr(config.ptr(), kSignalEnabled.ptr());
    if (!enabled) {
        PyErr_Clear();
        return;
    }
    if (!truth(nb::steal(enabled)))
        return;
    nb::object signalman = this_module().get(kSignalmanClass)(nb::arg("manager") = self, nb::arg("config") = config);
    set_attr(self, kSignalmanAttr, signalman);
    guarded([&] { call_method(signalman, kPrepare); }, [&](nb::python_error &e) { warn(self, text::kSignalFailed, e); });
}

void signal_start(nb::handle self) {
    if (nb::object signalman = signalman_of(self); signalman.is_valid())
        guarded([&] { call_method(signalman, kStart); }, [&](nb::python_error &e) { warn(self, text::kSignalFailed, e); });
}

void signal_stop(nb::handle self) {
    if (nb::object signalman = signalman_of(self); signalman.is_valid())
        guarded([&] { call_method(signalman, kStop); }, [&](nb::python_error &e) { warn(self, text::kSignalFailed, e); });
}

bool applying_remote() { return t_applying_remote; }

SignalTurn::SignalTurn(nb::handle self, nb::handle database, nb::handle table) {
    if (t_applying_remote)
        return;  // the reload applying it holds the turn already
    if (nb::object signalman = signalman_of(self); signalman.is_valid())
        held_.emplace(call_method(signalman, kTableLock, database, table));
}

void signal_stored(nb::handle self, nb::handle database, nb::handle table, nb::handle ttl, bool scheduler_managed,
                   bool saved) {
    if (t_applying_remote)
        return;
    nb::object signalman = signalman_of(self);
    if (!signalman.is_valid())
        return;
    guarded(
        [&] {
            nb::object stored_at = nb::none();
            if (saved) {
                PyObject *dict = PyObject_GetAttr(attr(self, kPersistence).ptr(), kSavedAt.ptr());
                if (dict) {
                    stored_at = call_method(nb::steal(dict), kGet, nb::make_tuple(database, table));
                } else {
                    PyErr_Clear();  // a coordinator that keeps no save times: nothing to announce
                }
            }
            call_method(signalman, kStored, database, table, stored_at, ttl, py_bool(scheduler_managed));
        },
        [&](nb::python_error &e) { warn(self, text::kSignalFailed, e); });
}

void signal_invalidated(nb::handle self, nb::handle database, nb::handle table) {
    if (t_applying_remote)
        return;
    if (nb::object signalman = signalman_of(self); signalman.is_valid())
        guarded([&] { call_method(signalman, kInvalidated, database, table.is_valid() ? table : nb::handle(Py_None)); },
                [&](nb::python_error &e) { warn(self, text::kSignalFailed, e); });
}

void add_versions(nb::handle self, nb::handle stats) {
    nb::object signalman = signalman_of(self);
    if (!signalman.is_valid())
        return;
    nb::object versions = call_method(signalman, kVersions);
    for (nb::handle entry : stats) {
        nb::object key = nb::make_tuple(entry[kDatabaseKey.handle()], entry[kTableKey.handle()]);
        nb::object held = call_method(versions, kGet, key);
        entry[kVersionKey.handle()] = is_none(held) ? held : nb::object(held[0]);
        entry[kVersionSourceKey.handle()] = is_none(held) ? held : nb::object(held[1]);
    }
}

bool cluster_load(nb::handle self, nb::handle database, nb::handle table, nb::handle loader, nb::handle ttl,
                  bool scheduler_managed) {
    nb::object signalman = signalman_of(self);
    if (!signalman.is_valid())
        return false;
    return truth(call_method(signalman, kLoadOnce, database, table, loader, ttl, py_bool(scheduler_managed)));
}

nb::object apply_remote_store(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2), df = a[3];
    ApplyingRemote applying;
    attr(self, kStoreMethod)(database, table, df, nb::arg("ttl_minutes") = a[4],
                             nb::arg("scheduler_managed") = py_bool(a.flag(5)));
    return nb::none();
}

nb::object apply_remote_invalidate(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.optional_str(2);
    ApplyingRemote applying;
    call_method(self, kInvalidateMethod, database, table.is_valid() ? table : nb::handle(Py_None));
    return nb::none();
}

}  // namespace brindle::quaymaster
