// PrometheusCollector: the figures of stats() as Prometheus metric families.
//
// prometheus_client is imported by the collector only, when it is built and
// at each scrape (a lookup in sys.modules then): a service that asks for no
// metrics does not need it installed.
#include "quaymaster.h"
#include "texts.h"

#include <string_view>
#include <utility>
#include <vector>

namespace brindle::quaymaster {
namespace {

const Name kManagerAttr{"manager"};
const Name kGet{"get"};
const Name kAddMetric{"add_metric"};
const Name kTimestamp{"timestamp"};
const Name kGaugeFamily{"GaugeMetricFamily"};
const Name kCounterFamily{"CounterMetricFamily"};
const Name kDatabaseKey{"database"};
const Name kTableKey{"table"};
const Name kVersionSourceKey{"version_source"};

// How a stats() value becomes a sample value in base units.
enum class Scale { Plain, Flag, Milliseconds, Microseconds, Timestamp };

struct Figure {
    const char *family;
    bool counter;
    const char *help;
    const char *key;  // of a stats() entry
    Scale scale = Scale::Plain;
    // A third label: its name, and its value (nullptr: the entry's
    // version_source, see source_label).
    const char *label = nullptr;
    const char *label_value = nullptr;
};

constexpr const char *kPersistenceFailuresHelp =
    "Persistence steps after a store that failed (logged, not raised), by target.";

// One row a figure: the families appear in this order, each once.
const Figure kFigures[] = {
    {"brindle_table_rows", false, "Rows of the table in DuckDB (DuckDB's estimate, exact for a table as stored).",
     "rows"},
    {"brindle_table_columns", false, "Columns of the table.", "columns"},
    {"brindle_table_memory_bytes", false, "Memory DuckDB holds for the table's data, in bytes.", "memory_bytes"},
    {"brindle_table_age_seconds", false, "Seconds since the table's last store.", "age_seconds"},
    {"brindle_table_ttl_seconds", false, "The table's time-to-live, in seconds.", "ttl_seconds"},
    {"brindle_table_stale", false, "1 when a query would refuse the table as stale or expired, else 0.", "stale",
     Scale::Flag},
    {"brindle_table_active_readers", false, "Queries reading the table now.", "active_readers"},
    {"brindle_table_last_store_timestamp_seconds", false, "When the table was last stored, as Unix time.",
     "loaded_at", Scale::Timestamp},
    {"brindle_table_last_store_duration_seconds", false,
     "How long the table's last successful store took, persistence included.", "last_store_ms",
     Scale::Milliseconds},
    {"brindle_result_cache_bytes", false, "Memory the result cache's kept answers of the table hold, in bytes.",
     "result_cache_bytes"},
    {"brindle_table_version_timestamp_seconds", false,
     "The table's version (its snapshot's save time, as Unix time), by where this process got it.", "version",
     Scale::Microseconds, "source"},
    {"brindle_queries_total", true, "Queries of the table served.", "queries"},
    {"brindle_misses_total", true, "Queries that found the table not cached, stale or expired.", "not_found"},
    {"brindle_stores_total", true, "Successful stores of the table.", "stores"},
    {"brindle_store_failures_total", true, "Failed stores of the table.", "store_failures"},
    {"brindle_expirations_total", true, "Drops of the table by the cleanup thread.", "expirations"},
    {"brindle_invalidations_total", true, "Invalidations of the table.", "invalidations"},
    {"brindle_persistence_failures_total", true, kPersistenceFailuresHelp, "parquet_write_failures", Scale::Plain,
     "target", "parquet"},
    {"brindle_persistence_failures_total", true, kPersistenceFailuresHelp, "external_write_failures", Scale::Plain,
     "target", "external"},
    {"brindle_result_cache_hits_total", true, "Queries answered from the result cache.", "result_cache_hits"},
    {"brindle_result_cache_misses_total", true,
     "Queries DuckDB answered while the result cache was on for the table.", "result_cache_misses"},
};

nb::object prometheus_core() {
    PyObject *module = PyImport_ImportModule("prometheus_client.core");
    if (module)
        return nb::steal(module);
    nb::python_error e;
    if (!e.matches(PyExc_ImportError))
        throw e;
    raise_from(nb::handle(PyExc_ImportError), fill(text::kNeedsPrometheusClient, {{"error", error_text(e)}}), e);
}

// The families, in the order of kFigures, without samples; each figure's
// index into them.
struct Families {
    std::vector<nb::object> list;
    std::vector<size_t> of_figure;
};

Families make_families() {
    nb::object core = prometheus_core();
    Families out;
    std::vector<std::string_view> names;
    for (const Figure &f : kFigures) {
        size_t at = 0;
        while (at < names.size() && names[at] != f.family)
            ++at;
        if (at == names.size()) {
            nb::list labels;
            labels.append(nb::str("database"));
            labels.append(nb::str("table"));
            if (f.label)
                labels.append(nb::str(f.label));
            nb::object cls = attr(core, f.counter ? kCounterFamily : kGaugeFamily);
            out.list.push_back(cls(nb::str(f.family), nb::str(f.help), nb::arg("labels") = labels));
            names.push_back(f.family);
        }
        out.of_figure.push_back(at);
    }
    return out;
}

// The sample value of a stats() value, or an invalid object for none.
nb::object sample_value(nb::handle value, Scale scale) {
    if (is_none(value))
        return nb::object();
    double divisor = 1;
    switch (scale) {
    case Scale::Flag: return nb::float_(truth(value) ? 1.0 : 0.0);
    case Scale::Timestamp: return call_method(value, kTimestamp);
    case Scale::Milliseconds: divisor = 1e3; break;
    case Scale::Microseconds: divisor = 1e6; break;
    case Scale::Plain: break;
    }
    double number = PyFloat_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred())
        throw_pending();
    return nb::float_(number / divisor);
}

// "notified by host:pid:n" -> "notified": where, not from whom (a saver's
// identity, host:pid:n, would make a new series at every store).
nb::object source_label(nb::handle entry) {
    nb::object source = call_method(entry, kGet, kVersionSourceKey.handle());
    if (!PyUnicode_Check(source.ptr()))
        return nb::str("");
    std::string_view text = str_view(source);
    size_t by = text.find(" by ");
    if (by == std::string_view::npos || text.find(':', by) == std::string_view::npos)
        return source;
    return make_str(text.substr(0, by));
}

// The stats() keys of kFigures, interned once: every entry is looked up by all of them.
const std::vector<Name> &figure_keys() {
    static const std::vector<Name> keys = [] {
        std::vector<Name> out;
        for (const Figure &f : kFigures)
            out.emplace_back(f.key);
        return out;
    }();
    return keys;
}

void add_samples(Families &families, nb::handle entry) {
    const std::vector<Name> &keys = figure_keys();
    nb::object database = call_method(entry, kGet, kDatabaseKey.handle());
    nb::object table = call_method(entry, kGet, kTableKey.handle());
    for (size_t i = 0; i < std::size(kFigures); ++i) {
        const Figure &f = kFigures[i];
        nb::object value = sample_value(call_method(entry, kGet, keys[i].handle()), f.scale);
        if (!value.is_valid())
            continue;
        nb::list labels;
        labels.append(database);
        labels.append(table);
        if (f.label)
            labels.append(f.label_value ? nb::object(nb::str(f.label_value)) : source_label(entry));
        call_method(families.list[families.of_figure[i]], kAddMetric, labels, value);
    }
}

nb::object as_list(const Families &families) {
    nb::list out;
    for (const nb::object &family : families.list)
        out.append(family);
    return out;
}

nb::object collector_init(const Args &a) {
    prometheus_core();  // a missing prometheus_client is told now, not at the first scrape
    set_attr(a[0], kManagerAttr, a[1]);
    return nb::none();
}

nb::object collector_collect(const Args &a) {
    nb::object entries = call_method(attr(a[0], kManagerAttr), kStatsMethod);
    Families families = make_families();
    for (nb::handle entry : entries)
        add_samples(families, entry);
    return as_list(families);
}

nb::object collector_describe(const Args &a) {
    (void)a;
    return as_list(make_families());
}

}  // namespace

void init_metrics(nb::module_ &m) {
    const FunctionMaker method(kModuleName);
    nb::object cls = make_class(kModuleName, "PrometheusCollector", text::kCollectorClassDoc, {
        {"__init__", method("PrometheusCollector.__init__", text::kCollectorInitDoc,
                            {"self", {"manager", "BrindleManager"}}, nullptr, collector_init)},
        {"collect", method("PrometheusCollector.collect", text::kCollectorCollectDoc, {"self"}, "List[Any]",
                           collector_collect)},
        {"describe", method("PrometheusCollector.describe", text::kCollectorDescribeDoc, {"self"}, "List[Any]",
                            collector_describe)},
    });
    m.attr("PrometheusCollector") = cls;
}

}  // namespace brindle::quaymaster
