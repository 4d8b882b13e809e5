// BrindleManager: the class as Python sees it, members in class-body order.
#include "interop/awaitable.h"
#include "quaymaster.h"
#include "signals.h"
#include "texts.h"

namespace brindle::quaymaster {

void init_manager(nb::module_ &m) {
    const FunctionMaker method(kModuleName);
    // (self, database: str, table: Optional[str], mode: str)
    auto on_key = [&](const char *qualname, const char *doc, const char *returns, Impl impl) {
        return method(qualname, doc, {"self", {"database", "str"}, {"table", "Optional[str]"}, {"mode", "str"}},
                      returns, impl);
    };
    const Param config{"config", "Optional[BrindleConfig]", nb::none()};
    const Param connector{"external_connector", "Optional[object]", nb::none()};
    const char *mgr = "BrindleManager.";
    auto q = [&](const char *name) { return std::string(mgr) + name; };
    // The awaitable twin of a method takes the very parameter list the method
    // is built from, so that the two never differ.
    auto twin = [&](const char *name, const char *doc, const Params &params, const char *returns, Impl impl) {
        nb::object fn = method(q(name).c_str(), doc, params, returns, impl);
        mark_coroutine_function(fn);
        return fn;
    };
    const Params on_self{"self"};
    const Params table_params{"self", {"database", "str"}, {"table", "str"}};
    auto on_table = [&](const char *qualname, const char *doc, const char *returns, Impl impl) {
        return method(qualname, doc, table_params, returns, impl);
    };
    const Params store_params{"self", {"database", "str"}, {"table", "str"}, {"df", "pd.DataFrame"},
                              {"ttl_minutes", "Optional[int]", nb::none()},
                              {"scheduler_managed", "bool", py_bool(false)}};
    const Params query_params{"self", {"database", "str"}, {"table", "str"},
                              {"sql_where", "Optional[str]", nb::none()},
                              {"columns", "Optional[List[str]]", nb::none()},
                              {"limit", "Optional[int]", nb::none()},
                              keyword_only({"params", kParamsAnnotation, nb::none()})};
    const Params execute_sql_params{"self", {"database", "str"}, {"sql", "str"},
                                    {"params", kParamsAnnotation, nb::none()}};
    const Params invalidate_params{"self", {"database", "str"}, {"table", "Optional[str]", nb::none()}};
    const Params remote_store_params{"self", {"database", "str"}, {"table", "str"}, {"df", "pd.DataFrame"},
                                     {"ttl_minutes", "Optional[int]"}, {"scheduler_managed", "bool"},
                                     {"version", "int"}, {"source", "str"}};
    const Params remote_invalidate_params{"self", {"database", "str"}, {"table", "Optional[str]"},
                                          {"version", "int"}, {"source", "str"}};
    const Params warm_external_params{"self", {"database", "Optional[str]", nb::none()},
                                      {"table", "Optional[str]", nb::none()}};
    const Params get_or_load_params{"self", {"database", "str"}, {"table", "str"},
                                    {"loader", "Callable[[], pd.DataFrame]"},
                                    {"ttl_minutes", "Optional[int]", nb::none()},
                                    {"scheduler_managed", "bool", py_bool(false)},
                                    {"serve_stale", "bool", py_bool(false)},
                                    {"sql_where", "Optional[str]", nb::none()},
                                    {"columns", "Optional[List[str]]", nb::none()},
                                    {"limit", "Optional[int]", nb::none()},
                                    keyword_only({"params", kParamsAnnotation, nb::none()})};

    nb::object persistence_getter =
        method(q("persistence").c_str(), text::kPersistenceDoc, {"self"}, "PersistenceCoordinator", get_persistence);
    nb::object cls = make_class(kModuleName, "BrindleManager", text::kClassDoc, {
        // The singleton. _lock (a threading.Lock) guards only the creation of
        // _instance; it is waited for with the GIL released (its own acquire)
        // and nothing else is ever taken while it is held.
        {"_instance", nb::none()},
        {"_lock", call_method(this_module().get(kThreading), kLock)},
        {"__new__", static_method(method(q("__new__").c_str(), nullptr, {"cls", config, connector}, nullptr,
                                         manager_new))},
        {"__init__", method(q("__init__").c_str(), text::kInitDoc, {"self", config, connector}, nullptr,
                            manager_init)},
        {"_get_lock_key", on_key(q("_get_lock_key").c_str(), text::kGetLockKeyDoc, "Tuple[str, Optional[str]]",
                                 get_lock_key)},
        {"_get_lock", on_key(q("_get_lock").c_str(), text::kGetLockDoc, "threading.Lock", get_lock)},
        {"_get_connection", method(q("_get_connection").c_str(), text::kGetConnectionDoc,
                                   {"self", {"database", "str"}, {"table", "Optional[str]"}, {"mode", "str"},
                                    {"create", "bool", py_bool(true)}},
                                   "Optional[duckdb.DuckDBPyConnection]", get_connection)},
        {"store", method(q("store").c_str(), text::kStoreDoc, store_params, nullptr, store)},
        {"query", method(q("query").c_str(), text::kQueryDoc, query_params, "pd.DataFrame", query)},
        {"query_arrow", method(q("query_arrow").c_str(), text::kQueryArrowDoc, query_params, "pa.Table",
                               query_arrow)},
        {"execute_sql", method(q("execute_sql").c_str(), text::kExecuteSqlDoc, execute_sql_params, "pd.DataFrame",
                               execute_sql)},
        {"exists", on_table(q("exists").c_str(), text::kExistsDoc, "bool", exists)},
        {"invalidate", method(q("invalidate").c_str(), text::kInvalidateDoc, invalidate_params, nullptr,
                              invalidate)},
        {"_cleanup_table", on_table(q("_cleanup_table").c_str(), text::kCleanupTableDoc, nullptr, cleanup_table)},
        {"_cleanup_database", method(q("_cleanup_database").c_str(), text::kCleanupDatabaseDoc,
                                     {"self", {"database", "str"}}, nullptr, cleanup_database)},
        {"_cleanup_expired_table", on_table(q("_cleanup_expired_table").c_str(), text::kCleanupExpiredTableDoc,
                                            nullptr, cleanup_expired_table)},
        {"get_last_updated", on_table(q("get_last_updated").c_str(), text::kGetLastUpdatedDoc,
                                      "Optional[datetime]", get_last_updated)},
        {"get_table_info", on_table(q("get_table_info").c_str(), text::kGetTableInfoDoc, "dict", get_table_info)},
        {"get_raw_connection", method(q("get_raw_connection").c_str(), text::kGetRawConnectionDoc,
                                      {"self", {"database", "str"}, {"table", "Optional[str]", nb::none()}},
                                      "duckdb.DuckDBPyConnection", get_raw_connection)},
        {"_warm_from_external_internal", method(q("_warm_from_external_internal").c_str(), text::kWarmInternalDoc,
                                                {"self"}, nullptr, warm_from_external_internal)},
        {"warm_from_external", method(q("warm_from_external").c_str(), text::kWarmFromExternalDoc,
                                      warm_external_params, nullptr, warm_from_external)},
        {"warm_from_parquet", method(q("warm_from_parquet").c_str(), text::kWarmFromParquetDoc, on_self, nullptr,
                                     warm_from_parquet)},
        {"reload", method(q("reload").c_str(), text::kReloadDoc, on_self, nullptr, reload)},
        {"persistence", call(nb::handle(reinterpret_cast<PyObject *>(&PyProperty_Type)), persistence_getter)},
        {"shutdown", method(q("shutdown").c_str(), text::kShutdownDoc, {"self"}, nullptr, shutdown)},
        // Ours, after the members every manager has.
        {"stats", method(q("stats").c_str(), text::kStatsDoc, on_self, "List[Dict[str, Any]]", stats)},
        {"get_or_load", method(q("get_or_load").c_str(), text::kGetOrLoadDoc, get_or_load_params, "pd.DataFrame",
                               get_or_load)},
        // Awaitable twins, run on the manager's thread pool.
        {"astore", twin("astore", text::kAStoreDoc, store_params, nullptr,
                        [](const Args &a) { return run_on_pool(a, kStoreMethod); })},
        {"aquery", twin("aquery", text::kAQueryDoc, query_params, "pd.DataFrame",
                        [](const Args &a) { return run_on_pool(a, kQueryMethod); })},
        {"aquery_arrow", twin("aquery_arrow", text::kAQueryArrowDoc, query_params, "pa.Table",
                              [](const Args &a) { return run_on_pool(a, kQueryArrowMethod); })},
        {"aexecute_sql", twin("aexecute_sql", text::kAExecuteSqlDoc, execute_sql_params, "pd.DataFrame",
                              [](const Args &a) { return run_on_pool(a, kExecuteSqlMethod); })},
        {"ainvalidate", twin("ainvalidate", text::kAInvalidateDoc, invalidate_params, nullptr,
                             [](const Args &a) { return run_on_pool(a, kInvalidateMethod); })},
        {"aget_table_info", twin("aget_table_info", text::kAGetTableInfoDoc, table_params, "dict",
                                 [](const Args &a) { return run_on_pool(a, kGetTableInfoMethod); })},
        {"awarm_from_external", twin("awarm_from_external", text::kAWarmFromExternalDoc, warm_external_params,
                                     nullptr, [](const Args &a) { return run_on_pool(a, kWarmFromExternalMethod); })},
        {"awarm_from_parquet", twin("awarm_from_parquet", text::kAWarmFromParquetDoc, on_self, nullptr,
                                    [](const Args &a) { return run_on_pool(a, kWarmFromParquet); })},
        {"areload", twin("areload", text::kAReloadDoc, on_self, nullptr,
                         [](const Args &a) { return run_on_pool(a, kReloadMethod); })},
        {"astats", twin("astats", text::kAStatsDoc, on_self, "List[Dict[str, Any]]",
                        [](const Args &a) { return run_on_pool(a, kStatsMethod); })},
        {"aget_or_load", twin("aget_or_load", text::kAGetOrLoadDoc, get_or_load_params, "pd.DataFrame",
                              [](const Args &a) { return run_on_pool(a, kGetOrLoadMethod); })},
        // Ours: what the signalman applies of other processes' news.
        {"_apply_remote_store", method(q("_apply_remote_store").c_str(), text::kApplyRemoteStoreDoc,
                                       remote_store_params, "bool", apply_remote_store)},
        {"_apply_remote_invalidate", method(q("_apply_remote_invalidate").c_str(), text::kApplyRemoteInvalidateDoc,
                                            remote_invalidate_params, "bool", apply_remote_invalidate)},
        {"_held_version", on_table(q("_held_version").c_str(), text::kHeldVersionDoc, "Optional[Tuple[int, str]]",
                                   held_version_method)},
        {"_note_version", method(q("_note_version").c_str(), text::kNoteVersionDoc,
                                 {"self", {"database", "str"}, {"table", "str"}, {"version", "int"},
                                  {"source", "str"}},
                                 nullptr, note_version_method)},
        {"_versions", method(q("_versions").c_str(), text::kVersionsDoc, on_self,
                             "Dict[Tuple[str, str], Tuple[int, str]]", versions_method)},
    });
    m.attr("BrindleManager") = cls;
}

}  // namespace brindle::quaymaster
