// PersistenceCoordinator: the class, its constructor and what both halves share.
#include "cellarage.h"
#include "interop/dtypes.h"
#include "interop/frames.h"
#include "texts.h"

namespace brindle::cellarage {
namespace {

const Name kGetLogger{"getLogger"};
const Name kRLock{"RLock"};
const Name kPersistenceSuffix{".persistence"};

// The lock that keeps each operation's connector calls together: it guards
// the connector's one pending result, so that an execute and the fetch that
// reads it are never split by another thread's statement. Waited for through
// acquire(), with the GIL released. It is taken with no other brindle lock
// held (the manager persists after releasing its write lock) and nothing is
// taken inside it; it is held while the connector runs, which is the
// service's code, and is an RLock so that a connector calling back into the
// coordinator on the same thread does not deadlock. No record is written
// while it is held.
//
// It is made with the coordinator; one that was never made (a subclass
// skipping __init__) is made on first use, and setdefault keeps two racing
// threads on the same one.
nb::object new_connector_lock() { return call_method(import("threading"), kRLock); }

}  // namespace

nb::object row_count(nb::handle df) {
    Py_ssize_t n = PyObject_Length(df.ptr());
    if (n < 0)
        throw_pending();
    return checked(PyLong_FromSsize_t(n));
}

namespace {

// Where a file keeps what pandas' own metadata cannot say (categories that
// are not strings): a key of DataFrame.attrs, which pandas writes into the
// file's metadata and reads back.
const Name kDtypesAttr{"brindle.dtypes"};
const Name kAttrs{"attrs"};
const Name kCategories{"categories"};
const Name kColumnsKey{"columns"};
const Name kAttributesKey{"attributes"};
const Name kName{"name"};
const Name kPandasType{"pandas_type"};
const Name kNumpyType{"numpy_type"};
const Name kDtypeKey{"dtype"};
const Name kGet{"get"};
const Name kPop{"pop"};
const Name kSeek{"seek"};
const Name kWriteTableName{"write_table"};
const Name kCopyName{"copy"};
const Name kReadSchemaName{"read_schema"};
const Name kPandasMetadataName{"pandas_metadata"};

// The described dtypes of the columns whose categories pandas' metadata
// leaves out (those that are not all strings); an empty dict for none.
nb::dict categories_to_write(const KeptDtypes &kept) {
    nb::dict out;
    nb::dict described = nb::borrow<nb::dict>(describe_dtypes(kept));
    for (auto [name, entry] : described) {
        nb::object categories = call_method(entry, kGet, kCategories.handle());
        if (!PyList_Check(categories.ptr()))
            continue;
        for (nb::handle c : categories)
            if (!PyUnicode_Check(c.ptr())) {
                out[name] = entry;
                break;
            }
    }
    return out;
}

// The dtypes a read of the file should give back: each column's numpy_type
// from pandas' metadata (a unit Parquet has not, strings kept as objects),
// and the categories the writer recorded. Files of older writers have only
// the former.
nb::dict dtypes_in_file(nb::handle source) {
    nb::dict described;
    call_method(source, kSeek, nb::int_(0));
    nb::object schema = call_method(import("pyarrow.parquet"), kReadSchemaName, source);
    nb::object meta = attr(schema, kPandasMetadataName);
    if (!PyDict_Check(meta.ptr()))
        return described;
    nb::object columns = call_method(meta, kGet, kColumnsKey.handle());
    if (PyList_Check(columns.ptr()))
        for (nb::handle column : columns) {
            if (!PyDict_Check(column.ptr()))
                continue;
            nb::object name = call_method(column, kGet, kName.handle());
            nb::object pandas_type = call_method(column, kGet, kPandasType.handle());
            nb::object numpy_type = call_method(column, kGet, kNumpyType.handle());
            if (!PyUnicode_Check(name.ptr()) || !PyUnicode_Check(numpy_type.ptr()) || !PyUnicode_Check(pandas_type.ptr()))
                continue;
            std::string_view kind = str_view(pandas_type);
            // pandas gives these back whole, or its numpy_type does not name them.
            if (kind == "categorical" || kind == "datetimetz" || kind == "decimal" || kind == "date")
                continue;
            nb::dict entry;
            entry[kDtypeKey.handle()] = numpy_type;
            described[name] = entry;
        }
    nb::object attributes = call_method(meta, kGet, kAttributesKey.handle());
    if (PyDict_Check(attributes.ptr())) {
        nb::object recorded = call_method(attributes, kGet, kDtypesAttr.handle());
        if (PyDict_Check(recorded.ptr()))
            checked(PyObject_CallMethod(described.ptr(), "update", "O", recorded.ptr()));
    }
    return described;
}

}  // namespace

void write_parquet(nb::handle df, nb::handle target) {
    static const Name kToParquet{"to_parquet"};
    if (is_arrow_table(df)) {
        call_method(import("pyarrow.parquet"), kWriteTableName, df, target);
        return;
    }
    nb::dict categories = categories_to_write(dtypes_to_keep(df));
    if (categories.size() == 0) {
        df.attr(kToParquet.handle())(target, nb::arg("index") = false);
        return;
    }
    // A shallow copy carries the record: the caller's frame is not touched.
    nb::object copy = call_method(df, kCopyName, py_bool(false));
    nb::dict attrs = nb::borrow<nb::dict>(checked(PyDict_Copy(attr(df, kAttrs).ptr())));
    attrs[kDtypesAttr.handle()] = categories;
    set_attr(copy, kAttrs, attrs);
    copy.attr(kToParquet.handle())(target, nb::arg("index") = false);
}

nb::object read_parquet(nb::handle source) {
    static const Name kReadParquet{"read_parquet"};
    nb::object df = call_method(this_module().get(kPd), kReadParquet, source);
    // Best-effort: a file whose metadata cannot be read loads as pandas reads it.
    ignore_failure([&] {
        KeptDtypes kept = read_described_dtypes(dtypes_in_file(source));
        restore_dtypes(df, kept, [](Py_ssize_t, nb::handle) { return true; });
        nb::object attrs = attr(df, kAttrs);
        if (PyDict_Check(attrs.ptr()))
            call_method(attrs, kPop, kDtypesAttr.handle(), nb::none());
    });
    return df;
}

void raise_persistence_error(const std::string &message, const nb::python_error &cause) {
    raise_from(this_module().get(kPersistenceError), message, cause);
}

void raise_persistence_error(const std::string &message) {
    raise_plain(this_module().get(kPersistenceError), message);
}

std::string failure_message(const char *tmpl, nb::handle database, nb::handle table,
                            const nb::python_error &e) {
    std::string d = database.is_valid() ? name_text(database) : std::string();
    std::string t = table.is_valid() ? name_text(table) : std::string();
    return fill(tmpl, {{"database", d}, {"table", t}, {"error", error_text(e)}});
}

nb::object connector_lock(nb::handle self) {
    PyObject *found = nullptr;
    nb::object dict = checked(PyObject_GenericGetDict(self.ptr(), nullptr));
    found = PyDict_GetItemWithError(dict.ptr(), kConnectorLock.ptr());
    if (found)
        return nb::borrow(found);
    if (PyErr_Occurred())
        throw_pending();
    nb::object fresh = new_connector_lock();
    PyObject *kept = PyDict_SetDefault(dict.ptr(), kConnectorLock.ptr(), fresh.ptr());
    if (!kept)
        throw_pending();
    return nb::borrow(kept);
}

nb::object coordinator_init(const Args &a) {
    nb::handle self = a[0], config = a[1], resolver = a[2], connector = a[3];
    set_attr(self, kConfig, config);
    set_attr(self, kConfigResolver, resolver);
    set_attr(self, kExternalConnector, connector);
    // Plain concatenation, as `config.log_name + ".persistence"` would do it.
    nb::object name = checked(PyNumber_Add(attr(config, kLogName).ptr(), kPersistenceSuffix.ptr()));
    set_attr(self, kLogger, call_method(this_module().get(kLogging), kGetLogger, name));
    set_attr(self, kConnectorLock, new_connector_lock());
    return nb::none();
}

void init_coordinator(nb::module_ &m) {
    const FunctionMaker method(kModule);
    nb::object cls = make_class(kModule, "PersistenceCoordinator", text::kClassDoc, {
        {"__init__", method("PersistenceCoordinator.__init__", text::kInitDoc,
                            {"self", {"config", "BrindleConfig"},
                             {"config_resolver", "CacheConfigResolver"},
                             {"external_connector", "Optional[Any]", nb::none()}},
                            nullptr, coordinator_init)},
        {"get_db_file_path", method("PersistenceCoordinator.get_db_file_path", text::kGetDbFilePathDoc,
                                    {"self", {"database", "str"}}, "Optional[str]", get_db_file_path)},
        {"is_db_file_based", method("PersistenceCoordinator.is_db_file_based", text::kIsDbFileBasedDoc,
                                    {"self", {"database", "str"}}, "bool", is_db_file_based)},
        {"_get_parquet_path", method("PersistenceCoordinator._get_parquet_path", text::kGetParquetPathDoc,
                                     {"self", {"database", "str"}, {"table", "str"}}, "Optional[str]",
                                     get_parquet_path)},
        {"should_persist_table", method("PersistenceCoordinator.should_persist_table",
                                        text::kShouldPersistTableDoc,
                                        {"self", {"database", "str"}, {"table", "str"}}, "bool",
                                        should_persist_table)},
        {"persist_table_to_parquet", method("PersistenceCoordinator.persist_table_to_parquet",
                                            text::kPersistTableDoc,
                                            {"self", {"database", "str"}, {"table", "str"},
                                             {"df", "pd.DataFrame"}},
                                            nullptr, persist_table_to_parquet)},
        {"load_table_from_parquet", method("PersistenceCoordinator.load_table_from_parquet",
                                           text::kLoadTableDoc,
                                           {"self", {"database", "str"}, {"table", "str"}},
                                           "Optional[pd.DataFrame]", load_table_from_parquet)},
        {"list_persisted_parquet_tables", method("PersistenceCoordinator.list_persisted_parquet_tables",
                                                 text::kListTablesDoc, {"self"}, "List[Tuple[str, str]]",
                                                 list_persisted_parquet_tables)},
        {"has_external_connector", method("PersistenceCoordinator.has_external_connector",
                                          text::kHasConnectorDoc, {"self"}, "bool", has_external_connector)},
        {"_serialize_df", method("PersistenceCoordinator._serialize_df", text::kSerializeDoc,
                                 {"self", {"df", "pd.DataFrame"}}, "bytes", serialize_df)},
        {"_deserialize_df", method("PersistenceCoordinator._deserialize_df", text::kDeserializeDoc,
                                   {"self", {"data", "bytes"}}, "pd.DataFrame", deserialize_df)},
        {"save_to_external", method("PersistenceCoordinator.save_to_external", text::kSaveDoc,
                                    {"self", {"database", "str"}, {"table", "str"}, {"df", "pd.DataFrame"}},
                                    nullptr, save_to_external)},
        {"load_from_external", method("PersistenceCoordinator.load_from_external", text::kLoadDoc,
                                      {"self", {"database", "str"}, {"table", "str"}},
                                      "Optional[pd.DataFrame]", load_from_external)},
        {"warm_all_from_external", method("PersistenceCoordinator.warm_all_from_external", text::kWarmAllDoc,
                                          {"self"}, "Dict[str, List[str]]", warm_all_from_external)},
        {"get_warm_snapshots", method("PersistenceCoordinator.get_warm_snapshots", text::kGetWarmSnapshotsDoc,
                                      {"self"}, "List[Tuple[str, str, pd.DataFrame]]", get_warm_snapshots)},
        {"delete_from_external", method("PersistenceCoordinator.delete_from_external", text::kDeleteDoc,
                                        {"self", {"database", "str"}, {"table", "Optional[str]", nb::none()}},
                                        nullptr, delete_from_external)},
        {"_remove_stale_temp_files", method("PersistenceCoordinator._remove_stale_temp_files",
                                            text::kRemoveStaleDoc, {"self"}, "int", remove_stale_temp_files)},
    });
    m.attr("PersistenceCoordinator") = cls;
}

}  // namespace brindle::cellarage
