// Database file paths and per-table Parquet files under the base path.
#include "cellarage.h"
#include "texts.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <random>

namespace brindle::cellarage {
namespace {

const Name kPath{"path"};
const Name kDirname{"dirname"};
const Name kJoin{"join"};
const Name kIsfile{"isfile"};
const Name kIsdir{"isdir"};
const Name kListdir{"listdir"};
const Name kMakedirs{"makedirs"};
const Name kReplace{"replace"};
const Name kRemove{"remove"};
const Name kOpen{"open"};
const Name kClose{"close"};
const Name kReadBinary{"rb"};
const Name kGetPersistPath{"get_persist_path"};
const Name kIsTablePersistent{"is_table_persistent"};
const Name kParquetSuffix{text::kParquetSuffix};
const Name kStat{"stat"};
const Name kStMtime{"st_mtime"};
const Name kTime{"time"};

nb::object os_path() { return attr(this_module().get(kOs), kPath); }

nb::object base_path_of(nb::handle self) { return attr(attr(self, kConfig), kPersistBasePath); }

// A name given to the file system as one path component must stay one: no
// separator of any platform, no NUL, and not a name that means "here" or
// "the parent". Checked on the str itself, so names the file system handed
// back with undecodable bytes are judged without re-encoding them.
bool is_single_component(nb::handle name, bool allow_empty) {
    if (!PyUnicode_Check(name.ptr()))
        return false;
    Py_ssize_t length = PyUnicode_GetLength(name.ptr());
    if (length < 0)
        throw_pending();
    if (length == 0)
        return allow_empty;
    if (PyUnicode_CompareWithASCIIString(name.ptr(), ".") == 0 ||
        PyUnicode_CompareWithASCIIString(name.ptr(), "..") == 0)
        return false;
    for (Py_UCS4 ch : {Py_UCS4('/'), Py_UCS4('\\'), Py_UCS4('\0')}) {
        Py_ssize_t at = PyUnicode_FindChar(name.ptr(), ch, 0, length, 1);
        if (at == -2)
            throw_pending();
        if (at >= 0)
            return false;
    }
    return true;
}

bool is_safe_database(nb::handle name) { return is_single_component(name, false); }
// A table named "" is the file ".parquet" inside its database directory.
bool is_safe_table(nb::handle name) { return is_single_component(name, true); }

void require_safe_database(nb::handle database) {
    if (!is_safe_database(database))
        raise_persistence_error(fill(text::kUnsafeDatabase, {{"name", name_text(database)}}));
}

void require_safe_table(nb::handle table) {
    if (!is_safe_table(table))
        raise_persistence_error(fill(text::kUnsafeTable, {{"name", name_text(table)}}));
}

std::string type_name_of(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

// os.makedirs(directory, exist_ok=True)
void make_directories(nb::handle directory) {
    this_module().get(kOs).attr(kMakedirs.handle())(directory, nb::arg("exist_ok") = true);
}

// A temporary name no other writer (thread, process or host sharing the
// directory) picks at the same time.
std::string unique_suffix() {
    static std::atomic<unsigned long long> counter{0};
    static const unsigned long long salt = [] {
        std::random_device rd;
        return (static_cast<unsigned long long>(rd()) << 32) ^ rd();
    }();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%ld-%llx-%llu", static_cast<long>(getpid()), salt,
                  counter.fetch_add(1, std::memory_order_relaxed));
    return buf;
}

nb::object temp_path_beside(nb::handle directory, nb::handle table) {
    nb::object file_name = checked(PyNumber_Add(table.ptr(), kParquetSuffix.ptr()));
    std::string temp = fill(text::kTempFileName, {{"file", name_text(file_name)}, {"unique", unique_suffix()}});
    return call_method(os_path(), kJoin, directory, make_str(temp));
}

// The file is written beside its final name and renamed over it, so the
// previous copy survives a failed or interrupted write and concurrent writers
// of one table each replace the file whole.
void write_replacing(nb::handle df, nb::handle path, nb::handle table) {
    nb::object directory = call_method(os_path(), kDirname, path);
    make_directories(directory);
    nb::object temp = temp_path_beside(directory, table);
    try {
        write_parquet(df, temp);
        call_method(this_module().get(kOs), kReplace, temp, path);
    } catch (nb::python_error &) {
        ignore_failure([&] { call_method(this_module().get(kOs), kRemove, temp); });
        throw;
    }
}

// Reading by path opens the file once for its footer and again for its data,
// so a replace in between mixes two files. Everything is read through one
// open file object instead: a reader gets the old file or the new one, whole.
nb::object read_parquet_once(nb::handle path) {
    nb::object file = call_method(this_module().get(kIo), kOpen, path, kReadBinary.handle());
    nb::object df;
    try {
        df = read_parquet(file);
    } catch (nb::python_error &) {
        ignore_failure([&] { call_method(file, kClose); });
        throw;
    }
    call_method(file, kClose);
    return df;
}

// Appends (database, table) for each "<table>.parquet" entry of the directory.
void collect_tables(nb::handle directory, nb::handle database, nb::handle result) {
    nb::object names = call_method(this_module().get(kOs), kListdir, directory);
    for (nb::handle name : names) {
        if (!PyUnicode_Check(name.ptr()))
            continue;
        Py_ssize_t matched = PyUnicode_Tailmatch(name.ptr(), kParquetSuffix.ptr(), 0, PY_SSIZE_T_MAX, 1);
        if (matched < 0)
            throw_pending();
        if (matched == 0)
            continue;
        Py_ssize_t length = PyUnicode_GetLength(name.ptr());
        nb::object table = checked(PyUnicode_Substring(name.ptr(), 0, length - 8));
        if (!is_safe_table(table))
            continue;
        if (PyList_Append(result.ptr(), nb::make_tuple(database, table).ptr()) != 0)
            throw_pending();
    }
}


// The writer's process id in a temporary name (".<table>.parquet.<pid>-<salt>-<n>.tmp"),
// or 0 when the name is not one of ours.
long temp_file_pid(std::string_view name) {
    const std::string_view suffix = text::kTempSuffix;
    if (name.size() < 2 || name[0] != '.' || name.size() <= suffix.size() ||
        name.substr(name.size() - suffix.size()) != suffix)
        return 0;
    size_t at = name.rfind(std::string(text::kParquetSuffix) + ".");
    if (at == std::string_view::npos)
        return 0;
    std::string rest(name.substr(at + std::string_view(text::kParquetSuffix).size() + 1));
    char *end = nullptr;
    long pid = std::strtol(rest.c_str(), &end, 10);
    return end && *end == '-' && pid > 0 ? pid : 0;
}

bool process_is_gone(long pid) { return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

// A file whose writer has died, or one so old that no write still runs on it.
// A live writer's file (this process's included) is left alone.
bool is_stale_temp(long pid, double age_seconds) {
    if (age_seconds >= text::kStaleTempSeconds)
        return true;
    return pid != static_cast<long>(getpid()) && process_is_gone(pid);
}

// Removes the stale temporary files of one database directory; returns how many.
long remove_stale_in(nb::handle self, nb::handle directory, double now) {
    long removed = 0;
    nb::object names = call_method(this_module().get(kOs), kListdir, directory);
    for (nb::handle name : names) {
        if (!PyUnicode_Check(name.ptr()))
            continue;
        long pid = temp_file_pid(str_view(name));
        if (pid == 0)
            continue;
        nb::object path = call_method(os_path(), kJoin, directory, name);
        guarded(
            [&] {
                double mtime = nb::cast<double>(attr(call_method(this_module().get(kOs), kStat, path), kStMtime));
                if (!is_stale_temp(pid, now - mtime))
                    return;
                call_method(this_module().get(kOs), kRemove, path);
                ++removed;
                log_format(logger_of(self), Level::Info, text::kRemovedTemp, path);
            },
            [&](nb::python_error &e) {
                // Gone already (another process cleaned up) or not ours to remove.
                log_format(logger_of(self), Level::Debug, text::kRemoveTempFailed, path, exception_value(e));
            });
    }
    return removed;
}

}  // namespace

nb::object get_db_file_path(const Args &a) {
    nb::handle self = a[0], database = a.str(1);
    nb::object base = base_path_of(self);
    nb::object path = call_method(attr(self, kConfigResolver), kGetPersistPath, database, base);
    if (!truth(path))
        return path;
    if (!PyUnicode_Check(path.ptr()))
        throw_type_error(fill(text::kPathNotStr, {{"type", type_name_of(path)}}));
    require_safe_database(database);
    nb::object directory = call_method(os_path(), kDirname, path);
    // A bare file name lives in the working directory, which already exists.
    if (truth(directory)) {
        try {
            make_directories(directory);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError))
                throw;
            raise_persistence_error(
                fill(text::kCannotCreateDir, {{"directory", to_text(directory)}, {"error", error_text(e)}}), e);
        }
    }
    log_format(logger_of(self), Level::Debug, text::kResolvedPath, database, path);
    return path;
}

nb::object is_db_file_based(const Args &a) {
    nb::handle self = a[0], database = a.str(1);
    return py_bool(!is_none(call_method(self, kGetDbFilePath, database)));
}

nb::object get_parquet_path(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    nb::object base = base_path_of(self);
    if (!truth(base))
        return nb::none();
    require_safe_database(database);
    require_safe_table(table);
    nb::object file_name = checked(PyNumber_Add(table.ptr(), kParquetSuffix.ptr()));
    return call_method(os_path(), kJoin, base, database, file_name);
}

nb::object should_persist_table(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    if (truth(call_method(self, kIsDbFileBased, database)))
        return py_bool(false);
    return call_method(attr(self, kConfigResolver), kIsTablePersistent, database, table);
}

nb::object persist_table_to_parquet(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2), df = a[3];
    nb::object path = call_method(self, kGetParquetPath, database, table);
    if (!truth(path))
        return nb::none();
    persistence_step(text::kPersistFailed, database, table, [&] {
        write_replacing(df, path, table);
        log_format(logger_of(self), Level::Info, text::kPersisted, database, table, row_count(df), path);
    });
    return nb::none();
}

nb::object load_table_from_parquet(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    nb::object path = call_method(self, kGetParquetPath, database, table);
    if (!truth(path) || !truth(call_method(os_path(), kIsfile, path)))
        return nb::none();
    return persistence_step(text::kLoadFailed, database, table, [&] {
        nb::object df = read_parquet_once(path);
        log_format(logger_of(self), Level::Info, text::kLoadedParquet, database, table, row_count(df), path);
        return df;
    });
}

nb::object list_persisted_parquet_tables(const Args &a) {
    nb::handle self = a[0];
    nb::object base = base_path_of(self);
    nb::list result;
    if (!truth(base) || !truth(call_method(os_path(), kIsdir, base)))
        return result;
    try {
        nb::object entries = call_method(this_module().get(kOs), kListdir, base);
        for (nb::handle database : entries) {
            if (!is_safe_database(database))
                continue;
            nb::object directory = call_method(os_path(), kJoin, base, database);
            if (!truth(call_method(os_path(), kIsdir, directory)))
                continue;
            collect_tables(directory, database, result);
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        log_format(logger_of(self), Level::Warning, text::kListFailed, exception_value(e));
    }
    return result;
}

}  // namespace brindle::cellarage

namespace brindle::cellarage {

nb::object remove_stale_temp_files(const Args &a) {
    nb::handle self = a[0];
    nb::object base = base_path_of(self);
    long removed = 0;
    if (!truth(base) || !truth(call_method(os_path(), kIsdir, base)))
        return nb::int_(0);
    double now = nb::cast<double>(call_method(import("time"), kTime));
    guarded(
        [&] {
            nb::object entries = call_method(this_module().get(kOs), kListdir, base);
            for (nb::handle database : entries) {
                if (!is_safe_database(database))
                    continue;
                nb::object directory = call_method(os_path(), kJoin, base, database);
                if (truth(call_method(os_path(), kIsdir, directory)))
                    removed += remove_stale_in(self, directory, now);
            }
        },
        [&](nb::python_error &e) {
            log_format(logger_of(self), Level::Warning, text::kListFailed, exception_value(e));
        });
    return nb::int_(removed);
}

}  // namespace brindle::cellarage
