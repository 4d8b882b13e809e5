// TTLEntry: a genuine dataclass, so that Python sees the constructor, repr,
// equality and the dataclasses helpers it expects.
#include "texts.h"
#include "tidewatch.h"

namespace brindle::tidewatch {

void init_ttl_entry(nb::module_ &m) {
    nb::object dataclasses = import("dataclasses");
    nb::list fields;
    fields.append(nb::make_tuple("loaded_at", "datetime"));
    fields.append(nb::make_tuple("ttl_minutes", "int"));
    fields.append(nb::make_tuple("is_stale", "bool", nb::bool_(false)));
    fields.append(nb::make_tuple("scheduler_managed", "bool", nb::bool_(false)));
    fields.append(nb::make_tuple("active_readers", "int", nb::int_(0)));
    nb::dict ns;
    ns["__module__"] = kModuleName;
    ns["__doc__"] = text::kEntryDoc;
    m.attr("TTLEntry") = dataclasses.attr("make_dataclass")("TTLEntry", fields, nb::arg("namespace") = ns);
}

}  // namespace brindle::tidewatch
