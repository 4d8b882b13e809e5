// Store, query, free SQL and inspection.
#include "interop/frames.h"
#include "quaymaster.h"
#include "cached_reads.h"
#include "signals.h"
#include "texts.h"
#include "duck/statements.h"

#include <chrono>
#include <optional>

namespace brindle::quaymaster {
namespace {

const Name kGetTtl{"get_ttl"};
const Name kRegister{"register"};
const Name kIsStale{"is_stale"};
const Name kMarkStale{"mark_stale"};
const Name kIncrementReaders{"increment_readers"};
const Name kDecrementReaders{"decrement_readers"};
const Name kGetLastUpdated{"get_last_updated"};
const Name kExecuteSql{"execute_sql"};
const Name kGetTableInfo{"get_table_info"};
const Name kShouldPersistTable{"should_persist_table"};
const Name kPersistTableToParquet{"persist_table_to_parquet"};
const Name kSaveToExternal{"save_to_external"};

// How often a store follows its key to a fresh connection when invalidation
// or shutdown retires the one it found before it could use it.
constexpr int kStoreAttempts = 3;

nb::object registry_of(nb::handle self) { return attr(self, kTtlRegistry); }

bool ask_registry(nb::handle self, const Name &question, nb::handle database, nb::handle table) {
    return truth(call_method(registry_of(self), question, database, table));
}

[[noreturn]] void raise_connection_not_found(nb::handle database, nb::handle table) {
    raise_error(kBrindleNotFoundError, fill_names(text::kConnectionNotFound, database, table));
}

// get_ttl's answer: None, or any number as an int.
nb::object resolved_ttl(nb::handle self, nb::handle database, nb::handle table) {
    nb::object fallback = attr(config_of(self), kDefaultTtl);
    nb::object ttl = call_method(attr(self, kConfigResolver), kGetTtl, database, table, fallback);
    if (is_none(ttl) || PyLong_CheckExact(ttl.ptr()))
        return ttl;
    if (PyNumber_Check(ttl.ptr()))
        return checked(PyNumber_Long(ttl.ptr()));
    throw_type_error(fill(text::kTtlNotInt, {{"type", Py_TYPE(ttl.ptr())->tp_name}}));
}

struct StoreRequest {
    nb::handle database, table, df, mode;
    nb::object ttl;
    bool scheduler_managed;
    std::shared_ptr<const KeptDtypes> dtypes;
};

[[noreturn]] void raise_lock_timeout(nb::handle self, nb::handle database, nb::handle table) {
    nb::object timeout = attr(config_of(self), kLockTimeoutSeconds);
    raise_error(kBrindleLockError, fill(text::kLockTimeout, {{"database", str_view(database)},
                                                             {"table", str_view(table)},
                                                             {"timeout", to_text(timeout)}}));
}

[[noreturn]] void raise_reentered(nb::handle database, nb::handle table) {
    raise_error(kBrindleLockError, fill_names(text::kWriteReEntered, database, table));
}

void refuse_on_failure(Wait waited, nb::handle self, nb::handle database, nb::handle table) {
    if (waited == Wait::ReEntered)
        raise_reentered(database, table);
    if (waited == Wait::TimedOut)
        raise_lock_timeout(self, database, table);
}

// Swaps the frame in and registers it with the table's write held (its
// record, then the key's write lock, both within the one deadline); returns
// the store's number for the persistence turn, or 0 when another process's
// news does not land. The connection is found before the write is taken: its
// opening writes a record, and a handler may store the table from it.
std::uint64_t swap_in(nb::handle self, const StoreRequest &r, WriterRecord &record, const WriteDeadline &deadline,
                      std::optional<LocalStore> &pending) {
    RemoteNews *news = remote_news();
    for (int attempt = 1;; ++attempt) {
        nb::object connection = call_method(self, kGetConnection, r.database, r.table, r.mode, py_bool(true));
        nb::object lock = call_method(self, kGetLock, r.database, r.table, r.mode);
        refuse_on_failure(record.write(deadline.left()), self, r.database, r.table);
        if (news && !remote_news_lands(record))
            return 0;  // what is held is as new, or a store of ours is on its way
        // Left after the write lock: a close it defers may write a record.
        std::optional<ConnectionUse> use;
        HeldWriteLock held(lock);
        refuse_on_failure(held.acquire(deadline.left()), self, r.database, r.table);
        refuse_case_collision(self, r.database, r.table);
        use.emplace(connection, logger_of(self));
        if (use->refused()) {
            record.end_write();
            if (attempt < kStoreAttempts)
                continue;
            raise_connection_not_found(r.database, r.table);
        }
        try {
            call_method(attr(self, kStore), kStoreMethod, connection, r.table, r.df, lock);
        } catch (nb::python_error &) {
            table_changed(self, r.database, r.table, false);
            throw;
        }
        table_stored(self, r.database, r.table, r.df);
        dtypes_stored(self, r.database, r.table, r.dtypes);
        std::uint64_t number = record.take_number();
        call_method(registry_of(self), kRegister, r.database, r.table, r.ttl, py_bool(r.scheduler_managed));
        if (news)
            remote_news_landed(record);
        else
            pending.emplace(record, true);
        record.end_write();
        return number;
    }
}

// A store's persistence, as the store that could not wait for the turn
// leaves it to the one persisting the table meanwhile.
struct StorePersistence : HandOver {
    nb::object df, ttl;
    bool scheduler_managed = false;
    bool remote = false;
};

// The Parquet copy and the external snapshot, each a best-effort step, and
// the announcement; each step is left out once a later store of the table
// has persisted (a log handler of this thread may have stored it again).
void persist_steps(nb::handle self, nb::handle database, nb::handle table, WriterRecord &record,
                   const StorePersistence &p) {
    nb::object logger = logger_of(self);
    auto warn = [&](const char *tmpl, const nb::python_error &e) {
        log(logger, Level::Warning, [&] {
            return fill(tmpl, {{"database", str_view(database)}, {"table", str_view(table)}, {"error", error_text(e)}});
        });
    };
    guarded(
        [&] {
            nb::object persistence = attr(self, kPersistence);
            if (truth(call_method(persistence, kShouldPersistTable, database, table)))
                call_method(persistence, kPersistTableToParquet, database, table, p.df);
        },
        [&](nb::python_error &e) {
            count_event(self, database, table, Event::ParquetFailure);
            warn(text::kParquetFailed, e);
        });
    if (!record.still_latest(p.number))
        return;
    bool saved = false;
    std::optional<SaveTurn> turn;  // held until announced: the processes hear of saves in their order
    guarded(
        [&] {
            nb::object persistence = attr(self, kPersistence);
            // Another process's snapshot is in the store already.
            if (!p.remote && truth(call_method(persistence, kHasExternalConnector))) {
                turn.emplace(self, database, table);
                call_method(persistence, kSaveToExternal, database, table, p.df);
                saved = true;
            }
        },
        [&](nb::python_error &e) {
            count_event(self, database, table, Event::ExternalFailure);
            warn(text::kExternalSaveFailed, e);
        });
    if (!p.remote && record.still_latest(p.number))
        signal_stored(self, database, table, p.ttl, p.scheduler_managed, saved);
}

// Persists under the table's persistence turn, in store order; a store that
// waits for the turn longer than external_timeout_seconds leaves its
// persistence to the turn's owner and returns.
void persist(nb::handle self, nb::handle database, nb::handle table, WriterRecord &record,
             std::shared_ptr<StorePersistence> p) {
    double timeout = seconds_setting(self, kExternalTimeoutSeconds);
    nb::object logger = logger_of(self);
    while (record.persist(p->number, timeout) == Wait::TimedOut) {
        if (record.hand_over(p)) {
            log(logger, Level::Debug, [&] { return fill_names(text::kPersistHandedOver, database, table); });
            return;
        }
    }
    if (!record.still_latest(p->number)) {
        record.end_persist();
        log(logger, Level::Debug, [&] { return fill_names(text::kPersistSkipped, database, table); });
        return;
    }
    try {
        persist_steps(self, database, table, record, *p);
        while (std::shared_ptr<HandOver> next = record.next_or_end())
            persist_steps(self, database, table, record, static_cast<const StorePersistence &>(*next));
    } catch (...) {
        record.end_persist();
        throw;
    }
}

// The query layer's query() or query_arrow() (connection, table, sql_where,
// columns, limit), with params=... only when there are values to bind.
nb::object query_layer_read(nb::handle query_layer, const Name &method, nb::handle connection, nb::handle table,
                            nb::handle sql_where, nb::handle columns, nb::handle limit, nb::handle params) {
    if (!params.is_valid() || is_none(params))
        return call_method(query_layer, method, connection, table, sql_where, columns, limit);
    return attr(query_layer, method)(connection, table, sql_where, columns, limit, nb::arg("params") = params);
}

// Runs use(connection, in_use) on the key's connection, counted as a
// statement on it; an invalid object when there is no connection or it has
// been retired.
template <typename Use>
nb::object with_connection(nb::handle self, nb::handle database, nb::handle table, nb::handle mode, Use &&use) {
    nb::object connection = call_method(self, kGetConnection, database, table, mode, py_bool(false));
    if (!truth(connection))
        return nb::object();
    ConnectionUse in_use(connection, logger_of(self));
    if (in_use.refused())
        return nb::object();
    return use(connection, in_use);
}

}  // namespace

nb::object store(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    nb::object df = frame_arg(a, 3);
    StoreRequest r{database, table, df, nb::handle(), a.optional_integer(4), a.flag(5), nullptr};
    nb::object mode = mode_of(self, database);
    r.mode = mode;
    if (!r.ttl.is_valid())
        r.ttl = resolved_ttl(self, database, table);
    // The registry takes no None: asked before the swap, so that a table is
    // never in DuckDB without its entry.
    if (is_none(r.ttl))
        throw_type_error(fill_names(text::kTtlNone, database, table));
    if (!r.scheduler_managed)
        r.scheduler_managed = truth(call_method(attr(self, kConfigResolver), kIsSchedulerManaged, database, table));
    // A name the store would refuse opens no connection.
    if (PyUnicode_GET_LENGTH(table.ptr()) == 0 && !is_single_db(mode))
        raise_error(kBrindleError, text::kTableRequired);
    duck::require_plain_identifier(table);
    r.dtypes = dtypes_to_restore(df);
    WriterUnderWay under_way;
    auto started = std::chrono::steady_clock::now();
    WriteDeadline deadline(self);
    WriterRecord record(table_key(database, table));
    RemoteNews *news = remote_news();
    std::optional<LocalStore> pending;
    std::uint64_t number = 0;
    try {
        number = swap_in(self, r, record, deadline, pending);
    } catch (nb::python_error &) {
        count_event(self, database, table, Event::StoreFailure);
        throw;
    }
    if (number == 0)
        return nb::none();
    count_event(self, database, table, Event::Store);
    // Logged once the write is let go, so that nothing a handler does can
    // wait on it.
    log(logger_of(self), Level::Info, [&] {
        return fill(text::kStored, {{"rows", length_text(df)},
                                    {"database", str_view(database)},
                                    {"table", str_view(table)},
                                    {"mode", to_text(mode)},
                                    {"ttl", to_text(r.ttl)},
                                    {"scheduler_managed", bool_text(r.scheduler_managed)}});
    });
    auto p = std::make_shared<StorePersistence>();
    p->number = number;
    p->df = df;
    p->ttl = r.ttl;
    p->scheduler_managed = r.scheduler_managed;
    p->remote = news != nullptr;
    persist(self, database, table, record, std::move(p));
    if (pending && pending->finish())
        signal_recheck(self, database, table);
    std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - started;
    record_store_time(self, database, table, took.count());
    return nb::none();
}

namespace {

// A read of the table counted as a reader in the registry: the query layer
// runs the question, as brindle's own layer would (the manager runs the same
// plan itself, and the result cache judges and keeps by it), or a replaced
// layer, whose methods are called as they are. query_arrow() reads go past
// the result cache.
nb::object read_rows(nb::handle self, nb::handle database, nb::handle table, nb::handle sql_where,
                     nb::handle columns, nb::handle limit, nb::handle params, bool arrow) {
    auto read = [&](nb::handle connection, const ConnectionUse &use) {
        nb::object query_layer = attr(self, kQuery);
        nb::object registry = registry_of(self);
        if (!own_query_layer(query_layer, arrow ? LayerMethod::QueryArrow : LayerMethod::Query)) {
            call_method(registry, kIncrementReaders, database, table);
            nb::object result;
            try {
                result = query_layer_read(query_layer, arrow ? kQueryArrowMethod : kQueryMethod, connection, table,
                                          sql_where, columns, limit, params);
            } catch (nb::python_error &) {
                call_method(registry, kDecrementReaders, database, table);
                uncached_read_ran(self, database, table, connection, sql_where, columns, limit);
                throw;
            }
            call_method(registry, kDecrementReaders, database, table);
            uncached_read_ran(self, database, table, connection, sql_where, columns, limit);
            if (!arrow)
                restore_answer_dtypes(self, database, table, columns, result);
            return result;
        }
        sql::SelectPlan plan = sql::plan_select(query_errors(), table, sql_where, columns, limit, params);
        std::optional<CachedRead> cached;
        if (!arrow)
            cached.emplace(self, database, connection, use.handed_out(), plan);
        if (nb::object answer = cached ? cached->answer() : nb::object(); answer.is_valid())
            return answer;
        call_method(registry, kIncrementReaders, database, table);
        nb::object result;
        try {
            result = sql::run_select(query_errors(), logger_of(query_layer), connection, plan, arrow);
        } catch (nb::python_error &) {
            call_method(registry, kDecrementReaders, database, table);
            if (cached)
                cached->ran(connection);
            else
                uncached_read_ran(self, database, table, connection, sql_where, columns, limit);
            throw;
        }
        call_method(registry, kDecrementReaders, database, table);
        if (!cached) {
            uncached_read_ran(self, database, table, connection, sql_where, columns, limit);
            return result;
        }
        cached->ran(connection);
        restore_answer_dtypes(self, database, table, columns, result);
        cached->keep(result);
        return result;
    };
    nb::object rows = with_connection(self, database, table, mode_of(self, database), read);
    if (rows.is_valid())
        count_event(self, database, table, Event::Query);
    return rows;
}

nb::object read_table_arrow(nb::handle self, nb::handle database, nb::handle table, nb::handle sql_where,
                            nb::handle columns, nb::handle limit, nb::handle params) {
    return read_rows(self, database, table, sql_where, columns, limit, params, true);
}

}  // namespace

nb::object read_table(nb::handle self, nb::handle database, nb::handle table, nb::handle sql_where,
                      nb::handle columns, nb::handle limit, nb::handle params) {
    return read_rows(self, database, table, sql_where, columns, limit, params, false);
}

namespace {

// exists() of a table: in the registry, and managed by the scheduler or
// neither marked stale nor past its TTL (which marks it stale).
bool table_is_fresh(nb::handle self, nb::handle database, nb::handle table) {
    if (!ask_registry(self, kExists, database, table))
        return false;
    if (ask_registry(self, kIsSchedulerManaged, database, table))
        return true;
    if (ask_registry(self, kIsStale, database, table)) {
        log(logger_of(self), Level::Debug, [&] { return fill_names(text::kMarkedStale, database, table); });
        return false;
    }
    if (ask_registry(self, kIsExpired, database, table)) {
        log(logger_of(self), Level::Info, [&] { return fill_names(text::kExpiredTtl, database, table); });
        call_method(registry_of(self), kMarkStale, database, table);
        return false;
    }
    return true;
}

// self.exists(database, table): the manager's own answers without a round
// trip through Python, a replaced one is called.
bool exists_now(nb::handle self, nb::handle database, nb::handle table) {
    if (own_exists(self))
        return table_is_fresh(self, database, table);
    return truth(call_method(self, kExistsMethod, database, table));
}

}  // namespace

// query()'s and query_arrow()'s checks around read: the arguments, the
// freshness test and the not-found count and error, for a table not fresh
// or a connection gone meanwhile.
template <typename Read>
nb::object fresh_table_read(const Args &a, Read &&read) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    a.optional_str(3);
    a.optional_list(4);
    nb::object limit = a.optional_integer(5);
    nb::handle params = a.optional_params(6);
    auto not_found = [&](const char *tmpl) {
        count_event(self, database, table, Event::NotFound);
        raise_error(kBrindleNotFoundError, fill_names(tmpl, database, table));
    };
    if (!exists_now(self, database, table))
        not_found(text::kTableNotFound);
    nb::object rows = read(self, database, table, a[3], a[4],
                           limit.is_valid() ? nb::handle(limit) : nb::handle(Py_None), params);
    if (!rows.is_valid())
        not_found(text::kConnectionNotFound);
    return rows;
}

nb::object query(const Args &a) { return fresh_table_read(a, read_table); }

nb::object query_arrow(const Args &a) { return fresh_table_read(a, read_table_arrow); }

nb::object execute_sql(const Args &a) {
    nb::handle self = a[0], database = a.str(1), sql = a.str(2), params = a.optional_params(3);
    nb::object mode = mode_of(self, database);
    if (!is_single_db(mode))
        log(logger_of(self), Level::Warning, [&] { return fill(text::kExecuteSqlMode, {{"mode", to_text(mode)}}); });
    auto run = [&](nb::handle connection, const ConnectionUse &use) {
        nb::object query_layer = attr(self, kQuery);
        bool own = own_query_layer(query_layer, LayerMethod::ExecuteSql);
        CachedReport report(self, database, connection, use.handed_out(), own, sql, params);
        if (nb::object answer = report.answer(); answer.is_valid())
            return answer;
        // Counted only once DuckDB is to run the text: a report answered from
        // the cache writes nothing, and would otherwise give way to itself.
        WriterUnderWay under_way;
        // What the text wrote is forgotten whether it ended well or not: a
        // failing text may have run statements before the one that failed.
        nb::object frame;
        try {
            if (own)
                frame = sql::run_free_sql(query_errors(), logger_of(query_layer), connection, sql, params);
            else if (params.is_valid())
                frame = attr(query_layer, kExecuteSql)(connection, sql, nb::arg("params") = params);
            else
                frame = call_method(query_layer, kExecuteSql, connection, sql);
        } catch (nb::python_error &) {
            sql_ran(self, database, connection, sql);
            throw;
        }
        sql_ran(self, database, connection, sql);
        report.keep(frame);
        return frame;
    };
    nb::object result = with_connection(self, database, nb::none(), mode, run);
    if (!result.is_valid())
        raise_error(kBrindleNotFoundError, fill(text::kDatabaseConnectionNotFound, {{"database", str_view(database)}}));
    return result;
}

nb::object exists(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    return py_bool(table_is_fresh(self, database, table));
}

nb::object get_last_updated(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    return call_method(registry_of(self), kGetLastUpdated, database, table);
}

nb::object get_table_info(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    auto describe = [&](nb::handle connection, const ConnectionUse &) {
        return call_method(attr(self, kQuery), kGetTableInfo, connection, table);
    };
    nb::object info = with_connection(self, database, table, mode_of(self, database), describe);
    if (!info.is_valid())
        raise_connection_not_found(database, table);
    if (!is_none(info) && !PyDict_Check(info.ptr()))
        throw_type_error(fill(text::kInfoNotDict, {{"type", Py_TYPE(info.ptr())->tp_name}}));
    return info;
}

nb::object get_raw_connection(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.optional_str(2);
    nb::object mode = mode_of(self, database);
    nb::object connection = call_method(self, kGetConnection, database, a[2], mode, py_bool(false));
    if (!truth(connection)) {
        std::string shown = table.is_valid() && truth(table) ? std::string(str_view(table)) : text::kNotApplicable;
        raise_error(kBrindleNotFoundError,
                    fill(text::kConnectionNotFound, {{"database", str_view(database)}, {"table", shown}}));
    }
    connection_handed_out(self, database, connection);
    return connection;
}

}  // namespace brindle::quaymaster
