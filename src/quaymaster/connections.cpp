// Connection keys, and the manager's methods over its connections and locks
// (the connections themselves are src/connections/).
#include "quaymaster.h"
#include "texts.h"

namespace brindle::quaymaster {
namespace {

const Name kGetMode{"get_mode"};
const Name kGetDbFilePath{"get_db_file_path"};
const Name kSingleDb{text::kSingleDb};

nb::object key_of(nb::handle database, nb::handle table) {
    return nb::make_tuple(database, table.is_valid() ? table : nb::none());
}

bool missing_table(nb::handle table) {
    return !table.is_valid() || is_none(table) || PyUnicode_GET_LENGTH(table.ptr()) == 0;
}

}  // namespace

// --- helpers shared by the module --------------------------------------------------

nb::object mode_of(nb::handle self, nb::handle database) {
    nb::object default_mode = attr(config_of(self), kDefaultMode);
    return call_method(attr(self, kConfigResolver), kGetMode, database, default_mode);
}

bool is_single_db(nb::handle mode) { return equal(mode, kSingleDb); }

std::string table_key(nb::handle database, nb::handle table) {
    // A table name is a plain identifier (no NUL), so the last NUL separates the two.
    return database_key(database) + name_text(table);
}

std::string database_key(nb::handle database) { return name_text(database) + '\0'; }

std::string fill_names(const char *tmpl, nb::handle database, nb::handle table) {
    return fill(tmpl, {{"database", str_view(database)}, {"table", str_view(table)}});
}

void raise_error(const Name &name, const std::string &message) { raise_plain(this_module().get(name), message); }

// --- keys, locks and connections -----------------------------------------------------

nb::object get_lock_key(const Args &a) {
    nb::handle database = a.str(1), table = a.optional_str(2), mode = a.str(3);
    return key_of(database, is_single_db(mode) ? nb::handle() : table);
}

nb::object get_lock(const Args &a) {
    nb::handle self = a[0], database = a.str(1), mode = a.str(3);
    a.optional_str(2);
    return connections::write_lock(self, call_method(self, kGetLockKey, database, a[2], mode));
}

nb::object get_connection(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.optional_str(2), mode = a.str(3);
    bool create = a.flag(4);
    nb::object key;
    if (is_single_db(mode)) {
        key = key_of(database, nb::handle());
    } else {
        if (missing_table(table))
            raise_error(kBrindleError, text::kTableRequired);
        key = key_of(database, table);
    }
    if (nb::object found = connections::find_connection(self, key); found.is_valid())
        return found;
    if (!create)
        return nb::none();
    // The coordinator and the resolver are Python code that logs: they run
    // before anything is held, so that nothing they trigger can wait for it.
    nb::object path = call_method(attr(self, kPersistence), kGetDbFilePath, database);
    nb::object settings = connections::duckdb_settings_of(self, database);
    return connections::open_connection(self, key, database, is_single_db(mode), path, settings);
}

}  // namespace brindle::quaymaster
