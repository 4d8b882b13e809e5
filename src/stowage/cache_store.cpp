// CacheStore: swaps a DataFrame into a DuckDB table atomically.
#include "duck/names.h"
#include "interop/frames.h"
#include "stowage.h"
#include "texts.h"

namespace brindle::stowage {
namespace {

const Name kDuckdb{"duckdb"};

struct StoreNames {
    std::string table;
    std::string temp_table;
};

void log_step(nb::handle logger, const char *tmpl, const StoreNames &n, nb::handle df = {}) {
    log(logger, Level::Debug, [&] {
        std::string rows = df.is_valid() ? length_text(df) : std::string();
        return fill(tmpl, {{"table", n.table}, {"temp_table", n.temp_table}, {"rows", rows}});
    });
}

void log_stored(nb::handle logger, const StoreNames &n, nb::handle df) {
    log(logger, Level::Info, [&] {
        return fill(text::kStored, {{"table", n.table}, {"rows", length_text(df)}});
    });
}

// Builds the new table beside the old one, drops the old one and renames
// the new one into place, on `target`.
void swap_steps(nb::handle target, nb::handle logger, const StoreNames &n, nb::handle df) {
    log_step(logger, text::kCreating, n, df);
    duck::execute(target, fill(text::kCreateTemp, {{"temp_table", n.temp_table}}));
    log_step(logger, text::kDropping, n);
    duck::execute(target, fill(text::kDropTable, {{"table", n.table}}));
    log_step(logger, text::kRenaming, n);
    duck::execute(target, fill(text::kRename, {{"temp_table", n.temp_table}, {"table", n.table}}));
}

// This thread's cursors for stores, one per connection. A store that ended
// well leaves its cursor as it was (committed, its frame unregistered), so
// the next store of the thread reuses it rather than paying for a fresh
// engine connection and its setup statement.
duck::ReadCursors &store_cursors() {
    static duck::ReadCursors cursors;
    return cursors;
}

// The whole swap runs in one transaction on a cursor of ours: the new table
// is built, the old one dropped and the new one renamed into place, and all
// of it commits together. Readers on other cursors see the old table or the
// new one, never none; a failure rolls back to the old table untouched and
// leaves no temporary table behind (nor touches a table of that name that
// this call did not create).
void swap_in_transaction(nb::handle connection, nb::handle logger, const StoreNames &n,
                         nb::handle df) {
    // An Arrow table's decimals are typed already.
    nb::object readable = is_arrow_table(df) ? nb::borrow(df) : with_exact_decimals(df);
    duck::CursorLease lease(store_cursors(), connection);
    nb::handle c = lease.handle();
    duck::Registration visible(c, text::kFrameName, readable);
    try {
        if (log_enabled(logger, Level::Debug)) {
            // Each step's DEBUG line comes just before its statement runs.
            duck::execute(c, text::kBegin);
            swap_steps(c, logger, n, df);
            // Read to its end, so that no result is left open on a kept cursor.
            duck::fetchall(duck::execute(c, text::kCommit));
        } else {
            // Nothing to log between the steps: the whole swap is one round
            // trip, which DuckDB runs statement by statement, stopping at the
            // first that fails (the transaction is then rolled back below).
            duck::fetchall(duck::execute(
                c, fill(text::kSwap, {{"temp_table", n.temp_table}, {"table", n.table}})));
        }
    } catch (nb::python_error &) {
        ignore_failure([&] { duck::execute(c, text::kRollback); });
        throw;
    }
    // A cursor that still shows the frame would keep it alive: not reused.
    if (visible.remove())
        lease.keep();
    log_stored(logger, n, df);
}

// Objects that are not DuckDB connections are driven statement by statement;
// a failure drops the temporary table.
void swap_in_steps(nb::handle connection, nb::handle logger, const StoreNames &n, nb::handle df) {
    try {
        swap_steps(connection, logger, n, df);
        log_stored(logger, n, df);
    } catch (nb::python_error &e) {
        if (!is_exception_family(e))
            throw;
        ignore_failure([&] {
            duck::execute(connection, fill(text::kDropTemp, {{"temp_table", n.temp_table}}));
        });
        throw;
    }
}

nb::object cache_store_store(const Args &a) {
    nb::handle self = a[0], connection = a[1], table = a.str(2);
    nb::object df = frame_arg(a, 3);
    nb::object logger = logger_of(self);
    StoreNames n{std::string(str_view(table)), {}};
    if (frame_is_empty(df))
        log(logger, Level::Warning, [&] { return fill(text::kEmptyFrame, {{"table", n.table}}); });
    n.temp_table = n.table + text::kTempSuffix;
    duck::require_plain_identifier(table);
    bool real = duck::is_connection(this_module().get(kDuckdb), connection);
    guarded(
        [&] {
            if (real)
                swap_in_transaction(connection, logger, n, df);
            else
                swap_in_steps(connection, logger, n, df);
        },
        [&](nb::python_error &e) {
            raise_from(this_module().get(kBrindleError),
                       fill(text::kStoreFailed, {{"table", n.table}, {"error", error_text(e)}}), e);
        });
    return nb::none();
}

nb::object cache_store_drop_table(const Args &a) {
    nb::handle self = a[0], connection = a[1], table = a.str(2);
    std::string name(str_view(table));
    duck::require_plain_identifier(table);
    nb::object logger = logger_of(self);
    guarded(
        [&] {
            duck::with_cursor(this_module().get(kDuckdb), connection, [&](nb::handle c) {
                return duck::execute(c, fill(text::kDropTable, {{"table", name}}));
            });
            log(logger, Level::Info, [&] { return fill(text::kDropped, {{"table", name}}); });
        },
        [&](nb::python_error &e) {
            raise_from(this_module().get(kBrindleError),
                       fill(text::kDropFailed, {{"table", name}, {"error", error_text(e)}}), e);
        });
    return nb::none();
}

nb::object cache_store_table_exists(const Args &a) {
    nb::handle self = a[0], connection = a[1], table = a.str(2);
    return guarded(
        [&] {
            nb::object row = duck::with_cursor(this_module().get(kDuckdb), connection, [&](nb::handle c) {
                nb::list params;
                params.append(table);
                return duck::fetchone(duck::execute(c, text::kTableExists, params));
            });
            if (is_none(row))
                return py_bool(false);
            nb::object first = row[0];
            return py_bool(truth(checked(PyObject_RichCompare(first.ptr(), nb::int_(0).ptr(), Py_GT))));
        },
        [&](nb::python_error &e) {
            log(logger_of(self), Level::Error, [&] {
                return fill(text::kExistsFailed, {{"table", str_view(table)}, {"error", error_text(e)}});
            });
            return py_bool(false);
        });
}

nb::object cache_store_get_row_count(const Args &a) {
    nb::handle connection = a[1], table = a.str(2);
    if (!duck::is_plain_identifier(table))
        return nb::int_(0);
    return guarded(
        [&] {
            nb::object row = duck::with_cursor(this_module().get(kDuckdb), connection, [&](nb::handle c) {
                return duck::fetchone(duck::execute(c, fill(text::kCountRows, {{"table", str_view(table)}})));
            });
            if (is_none(row))
                return nb::object(nb::int_(0));
            return nb::object(row[0]);
        },
        [&](nb::python_error &) { return nb::object(nb::int_(0)); });
}

nb::object cache_store_get_table_columns(const Args &a) {
    nb::handle connection = a[1], table = a.str(2);
    if (!duck::is_plain_identifier(table))
        return nb::list();
    return guarded(
        [&] {
            nb::object rows = duck::with_cursor(this_module().get(kDuckdb), connection, [&](nb::handle c) {
                return duck::fetchall(duck::execute(c, names::describe_statement(str_view(table))));
            });
            nb::list names;
            for (nb::handle row : rows)
                names.append(row[0]);
            return nb::object(names);
        },
        [&](nb::python_error &) { return nb::object(nb::list()); });
}

}  // namespace

void init_cache_store(nb::module_ &m) {
    store_cursors().init();
    const char *mod = "brindle.stowage";
    const FunctionMaker method(mod);
    const char *conn = duck::kConnectionAnnotation;
    nb::object cls = make_class(mod, "CacheStore", text::kClassDoc, {
        {"__init__", method("CacheStore.__init__", text::kInitDoc, {"self"}, nullptr, init_with_module_logger)},
        {"store", method("CacheStore.store", text::kStoreDoc,
                         {"self", {"connection", conn}, {"table", "str"}, {"df", "pd.DataFrame"},
                          {"lock", "threading.Lock"}},
                         nullptr, cache_store_store)},
        {"drop_table", method("CacheStore.drop_table", text::kDropTableDoc,
                              {"self", {"connection", conn}, {"table", "str"}, {"lock", "threading.Lock"}},
                              nullptr, cache_store_drop_table)},
        {"table_exists", method("CacheStore.table_exists", text::kTableExistsDoc,
                                {"self", {"connection", conn}, {"table", "str"}}, "bool",
                                cache_store_table_exists)},
        {"get_row_count", method("CacheStore.get_row_count", text::kGetRowCountDoc,
                                 {"self", {"connection", conn}, {"table", "str"}}, "int",
                                 cache_store_get_row_count)},
        {"get_table_columns", method("CacheStore.get_table_columns", text::kGetTableColumnsDoc,
                                     {"self", {"connection", conn}, {"table", "str"}}, "list[str]",
                                     cache_store_get_table_columns)},
    });
    m.attr("CacheStore") = cls;
}

}  // namespace brindle::stowage
