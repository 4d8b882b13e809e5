// The external snapshot store: DataFrames as Parquet bytes behind a connector.
#include "cellarage.h"
#include "texts.h"

#include <optional>

namespace brindle::cellarage {
namespace {

const Name kBytesIO{"BytesIO"};
const Name kGetvalue{"getvalue"};
const Name kNow{"now"};
const Name kUtc{"utc"};
const Name kIsoformat{"isoformat"};
const Name kExecute{"execute"};
const Name kFetchone{"fetchone"};
const Name kFetchall{"fetchall"};
const Name kAllTables{text::kAllTables};

// The connector, or an invalid object when the gate is closed (absent or false).
nb::object open_connector(nb::handle self) {
    nb::object connector = attr(self, kExternalConnector);
    if (!truth(connector))
        return nb::object();
    return connector;
}

nb::object service_name_of(nb::handle self) { return attr(attr(self, kConfig), kServiceName); }

// datetime.now(timezone.utc).isoformat()
nb::object utc_timestamp_text() {
    nb::object now = call_method(this_module().get(kDatetime), kNow, attr(this_module().get(kTimezone), kUtc));
    return call_method(now, kIsoformat);
}

void execute(nb::handle connector, const char *sql, nb::handle params) {
    call_method(connector, kExecute, nb::str(sql), params);
}

// config.external_timeout_seconds, or None (wait as long as it takes) for a
// configuration that has no such setting.
nb::object connector_timeout(nb::handle self) {
    nb::object timeout = optional_attr(attr(self, kConfig), kExternalTimeout);
    return timeout.is_valid() ? timeout : nb::none();
}

// Holds the coordinator's connector lock for the scope. A connector keeps one
// pending result, so an execute and the fetch that reads it must not be split
// by another thread's statement; acquire() waits with the GIL released. The
// wait is bounded by external_timeout_seconds, so one operation stuck on a
// frozen server holds up the others (other tables' saves among them) no
// longer than that: they fail with TimeoutError, reported as the operation's
// persistence error.
class ConnectorCalls {
public:
    explicit ConnectorCalls(nb::handle self) {
        static const Name kAcquire{"acquire"};
        nb::object lock = connector_lock(self);
        nb::object timeout = connector_timeout(self);
        bool acquired = is_none(timeout) ? truth(call_method(lock, kAcquire))
                                         : truth(lock.attr(kAcquire.handle())(nb::arg("timeout") = timeout));
        if (!acquired)
            throw_error(PyExc_TimeoutError, fill(text::kConnectorBusy, {{"timeout", to_text(timeout)}}));
        guard_.emplace(lock, std::adopt_lock);
    }

private:
    std::optional<PyLockGuard> guard_;
};

// Remembers the stored_at text of the table's last save here, for whoever
// announces the save to other processes (the snapshot's version).
void remember_saved_at(nb::handle self, nb::handle database, nb::handle table, nb::handle stored_at) {
    nb::object dict = checked(PyObject_GenericGetDict(self.ptr(), nullptr));
    PyObject *saved = PyDict_GetItemWithError(dict.ptr(), kSavedAt.ptr());
    nb::object kept;
    if (saved) {
        kept = nb::borrow(saved);
    } else {
        if (PyErr_Occurred())
            throw_pending();
        kept = nb::dict();
        set_attr(self, kSavedAt, kept);
    }
    if (PyObject_SetItem(kept.ptr(), nb::make_tuple(database, table).ptr(), stored_at.ptr()) != 0)
        throw_pending();
}

void append_table(nb::handle loaded, nb::handle database, nb::handle table) {
    nb::list fresh;
    PyObject *tables = PyDict_SetDefault(loaded.ptr(), database.ptr(), fresh.ptr());
    if (!tables || PyList_Append(tables, table.ptr()) != 0)
        throw_pending();
}

}  // namespace

nb::object has_external_connector(const Args &a) {
    return py_bool(!is_none(attr(a[0], kExternalConnector)));
}

nb::object serialize_df(const Args &a) {
    nb::handle df = a[1];
    nb::object buffer = call_method(this_module().get(kIo), kBytesIO);
    write_parquet(df, buffer);
    return call_method(buffer, kGetvalue);
}

nb::object deserialize_df(const Args &a) {
    nb::handle data = a[1];
    if (!PyBytes_CheckExact(data.ptr()))
        throw_type_error(fill(text::kDataNotBytes, {{"type", Py_TYPE(data.ptr())->tp_name}}));
    nb::object buffer = call_method(this_module().get(kIo), kBytesIO, data);
    return read_parquet(buffer);
}

nb::object save_to_external(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2), df = a[3];
    nb::object connector = open_connector(self);
    if (!connector.is_valid())
        return nb::none();
    persistence_step(text::kSaveFailed, database, table, [&] {
        nb::object data = call_method(self, kSerializeDf, df);
        nb::object stored_at = utc_timestamp_text();
        nb::object service = service_name_of(self);
        nb::object rows = row_count(df);
        {
            ConnectorCalls calls(self);
            execute(connector, text::kDeleteOne, nb::make_tuple(service, database, table));
            execute(connector, text::kInsert,
                    nb::make_tuple(service, database, table, data, stored_at, rows));
        }
        remember_saved_at(self, database, table, stored_at);
        log_format(logger_of(self), Level::Info, text::kSaved, database, table, rows,
                   row_count(data));
    });
    return nb::none();
}

nb::object load_from_external(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    nb::object connector = open_connector(self);
    if (!connector.is_valid())
        return nb::none();
    return persistence_step(text::kExternalLoadFailed, database, table, [&]() -> nb::object {
        nb::object service = service_name_of(self);
        nb::object row;
        {
            ConnectorCalls calls(self);
            execute(connector, text::kSelectOne, nb::make_tuple(service, database, table));
            row = call_method(connector, kFetchone);
        }
        if (!truth(row))
            return nb::none();
        nb::object df = call_method(self, kDeserializeDf, row[0]);
        log_format(logger_of(self), Level::Info, text::kLoadedSnapshot, database, table, row_count(df));
        return df;
    });
}

nb::object warm_all_from_external(const Args &a) {
    nb::handle self = a[0];
    nb::object connector = open_connector(self);
    if (!connector.is_valid())
        return nb::dict();
    return persistence_step(text::kWarmFailed, {}, {}, [&]() -> nb::object {
        nb::object service = service_name_of(self);
        nb::object rows;
        {
            ConnectorCalls calls(self);
            execute(connector, text::kSelectService, nb::make_tuple(service));
            // Read every row before letting another thread at the connector.
            rows = checked(PySequence_List(call_method(connector, kFetchall).ptr()));
        }
        nb::dict loaded;
        nb::list snapshots;
        for (nb::handle row : rows) {
            std::vector<nb::object> fields = unpack(row, 3);
            // One row whose bytes are not Parquet costs that table, not the
            // warm-up; a row of the wrong shape or type is the connector's
            // fault and fails it whole.
            nb::object df;
            if (!PyBytes_CheckExact(fields[2].ptr()))
                df = call_method(self, kDeserializeDf, fields[2]);
            else
                df = guarded([&] { return call_method(self, kDeserializeDf, fields[2]); },
                             [&](nb::python_error &e) {
                                 log_format(logger_of(self), Level::Warning, text::kSkippedSnapshot, fields[0],
                                            fields[1], exception_value(e));
                                 return nb::object();
                             });
            if (!df.is_valid())
                continue;
            snapshots.append(nb::make_tuple(fields[0], fields[1], df));
            append_table(loaded, fields[0], fields[1]);
        }
        log_format(logger_of(self), Level::Info, text::kWarmed, row_count(snapshots), service);
        set_attr(self, kWarmSnapshots, snapshots);
        return loaded;
    });
}

nb::object get_warm_snapshots(const Args &a) {
    nb::handle self = a[0];
    // Taking the list and leaving a fresh one runs without giving up the GIL,
    // so two threads can never be handed the same snapshots.
    PyObject *taken = PyObject_GetAttr(self.ptr(), kWarmSnapshots.ptr());
    nb::object result;
    if (taken) {
        result = nb::steal(taken);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw_pending();
        PyErr_Clear();
        result = nb::list();
    }
    set_attr(self, kWarmSnapshots, nb::list());
    return result;
}

nb::object delete_from_external(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.optional_str(2);
    nb::object connector = open_connector(self);
    if (!connector.is_valid())
        return nb::none();
    bool whole_database = !table.is_valid() || PyUnicode_GetLength(table.ptr()) == 0;
    nb::handle table_shown = whole_database ? kAllTables.handle() : table;
    guarded(
        [&] {
            nb::object service = service_name_of(self);
            {
                ConnectorCalls calls(self);
                if (whole_database)
                    execute(connector, text::kDeleteDatabase, nb::make_tuple(service, database));
                else
                    execute(connector, text::kDeleteOne, nb::make_tuple(service, database, table));
            }
            log_format(logger_of(self), Level::Info, text::kDeleted, database, table_shown);
        },
        [&](nb::python_error &e) {
            log_format(logger_of(self), Level::Warning, text::kDeleteFailed, database, table_shown,
                       exception_value(e));
        });
    return nb::none();
}

}  // namespace brindle::cellarage
