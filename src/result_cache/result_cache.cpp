// ResultCache: answers in least-recently-used order, versions, and what the
// verdicts rest on.
#include "result_cache.h"

#include <utility>

namespace brindle::result_cache {
namespace {

// Questions, verdicts and execute_sql() texts are kept up to these counts;
// past them a map starts again empty, as the texts a service sends are
// mostly a small set asked again and again.
constexpr std::size_t kMaxAsked = 4096;
constexpr std::size_t kMaxVerdicts = 4096;
constexpr std::size_t kMaxSqlTexts = 1024;
constexpr std::size_t kMaxReports = 1024;

template <typename Map>
void make_room(Map &map, std::size_t limit) {
    if (map.size() >= limit)
        map.clear();
}

bool starts_with(const std::string &text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::string_view(text).substr(0, prefix.size()) == prefix;
}

}  // namespace

std::uint64_t ResultCache::version(const std::string &table) {
    auto [it, inserted] = tables_.try_emplace(table);
    if (inserted)
        it->second.version = ++last_version_;
    return it->second.version;
}

nb::object ResultCache::find(const std::string &table, const std::string &question) {
    auto t = tables_.find(table);
    if (t == tables_.end())
        return nb::object();
    auto a = t->second.by_question.find(question);
    if (a == t->second.by_question.end())
        return nb::object();
    answers_.splice(answers_.begin(), answers_, a->second);
    return a->second->frame;
}

ResultCache::Asked ResultCache::ask(const std::string &table, const std::string &question) {
    auto &asked = tables_.at(table).asked;
    auto a = asked.find(question);
    if (a != asked.end()) {
        if (a->second == Asked::First)
            a->second = Asked::Again;
        return a->second;
    }
    make_room(asked, kMaxAsked);
    asked.emplace(question, Asked::First);
    return Asked::First;
}

void ResultCache::refuse(const std::string &table, std::uint64_t version, const std::string &question) {
    auto t = tables_.find(table);
    if (t != tables_.end() && t->second.version == version)
        t->second.asked[question] = Asked::Unkeepable;
}

void ResultCache::keep(const std::string &table, std::uint64_t version, const std::string &question,
                       nb::object frame, std::size_t bytes, std::size_t budget, Released &released) {
    auto t = tables_.find(table);
    if (t == tables_.end() || t->second.version != version)
        return;  // changed since the question was asked: the frame may hold the old rows
    auto &by_question = t->second.by_question;
    if (auto a = by_question.find(question); a != by_question.end())
        evict(a->second, released);  // asked by two callers at once; the later answer stays
    t->second.asked.erase(question);
    answers_.push_front(Answer{table, question, std::move(frame), bytes});
    by_question.emplace(question, answers_.begin());
    t->second.bytes += bytes;
    bytes_ += bytes;
    trim(budget, released);
}

void ResultCache::evict(Answers::iterator answer, Released &released) {
    auto t = tables_.find(answer->table);
    if (t != tables_.end()) {
        t->second.by_question.erase(answer->question);
        t->second.bytes -= answer->bytes;
    }
    bytes_ -= answer->bytes;
    released.push_back(std::move(answer->frame));
    answers_.erase(answer);
}

void ResultCache::forget_answers(std::unordered_map<std::string, TableAnswers>::iterator table, bool dropped,
                                 Released &released) {
    for (auto &[question, answer] : table->second.by_question) {
        bytes_ -= answer->bytes;
        released.push_back(std::move(answer->frame));
        answers_.erase(answer);
    }
    if (dropped) {
        tables_.erase(table);
        return;
    }
    // Kept for the table's next questions, with a version no answer has.
    TableAnswers &t = table->second;
    t.by_question.clear();
    t.asked.clear();
    t.bytes = 0;
    t.version = ++last_version_;
}

void ResultCache::forget_table(const std::string &table, bool dropped, Released &released) {
    if (auto t = tables_.find(table); t != tables_.end())
        forget_answers(t, dropped, released);
    if (dropped)
        columns_.erase(table);
}

void ResultCache::forget_database(std::string_view database, bool dropped, Released &released) {
    for (auto t = tables_.begin(); t != tables_.end();) {
        auto next = std::next(t);
        if (starts_with(t->first, database))
            forget_answers(t, dropped, released);
        t = next;
    }
    if (!dropped)
        return;
    for (auto c = columns_.begin(); c != columns_.end();)
        c = starts_with(c->first, database) ? columns_.erase(c) : std::next(c);
}

void ResultCache::trim(std::size_t budget, Released &released) {
    while (bytes_ > budget && !answers_.empty())
        evict(std::prev(answers_.end()), released);
}

int ResultCache::traverse(visitproc visit, void *arg) const {
    for (const Answer &answer : answers_)
        Py_VISIT(answer.frame.ptr());
    Py_VISIT(switches_resolver_.ptr());
    return 0;
}

void ResultCache::release_all(Released &released) {
    forget_database("", true, released);
    switches_.clear();
    released.push_back(std::move(switches_resolver_));
}

std::size_t ResultCache::bytes_of(const std::string &table) const {
    auto t = tables_.find(table);
    return t == tables_.end() ? 0 : t->second.bytes;
}

const ColumnNames *ResultCache::columns(const std::string &table) const {
    auto c = columns_.find(table);
    return c == columns_.end() ? nullptr : &c->second.names;
}

void ResultCache::set_columns(const std::string &table, ColumnNames names) {
    auto [c, added] = columns_.try_emplace(table, KnownColumns{{}, 0});
    if (added || c->second.names != names)
        c->second = KnownColumns{std::move(names), ++last_version_};
}

std::uint64_t ResultCache::shape(const std::string &table) const {
    auto c = columns_.find(table);
    return c == columns_.end() ? 0 : c->second.shape;
}

bool ResultCache::shapes_hold(const Verdict &verdict) const {
    for (const auto &[table, shape] : verdict.shapes)
        if (this->shape(table) != shape)
            return false;
    return true;
}

const Verdict *ResultCache::verdict(const std::string &key) const {
    auto v = verdicts_.find(key);
    return v == verdicts_.end() ? nullptr : &v->second;
}

void ResultCache::set_verdict(const std::string &key, Verdict verdict) {
    make_room(verdicts_, kMaxVerdicts);
    verdicts_[key] = std::move(verdict);
}


SharedFunctions ResultCache::functions(const std::string &database) const {
    auto f = functions_.find(database);
    return f == functions_.end() ? nullptr : f->second;
}

void ResultCache::set_functions(const std::string &database, SharedFunctions functions) {
    functions_[database] = std::move(functions);
}

void ResultCache::forget_catalog(const std::string &database) {
    verdicts_.clear();
    functions_.erase(database);
}

const bool *ResultCache::switch_of(nb::handle resolver, const std::string &table) const {
    if (resolver.ptr() != switches_resolver_.ptr())
        return nullptr;
    auto s = switches_.find(table);
    return s == switches_.end() ? nullptr : &s->second;
}

void ResultCache::set_switch(nb::handle resolver, const std::string &table, bool on) {
    nb::object replaced;  // let go once the map is updated
    if (resolver.ptr() != switches_resolver_.ptr()) {
        switches_.clear();
        replaced = std::exchange(switches_resolver_, nb::borrow(resolver));
    }
    make_room(switches_, kMaxVerdicts);
    switches_[table] = on;
}

const SqlEffect *ResultCache::sql_effect(const std::string &sql) const {
    auto e = sql_effects_.find(sql);
    return e == sql_effects_.end() ? nullptr : &e->second;
}

void ResultCache::set_sql_effect(const std::string &sql, SqlEffect effect) {
    make_room(sql_effects_, kMaxSqlTexts);
    sql_effects_[sql] = effect;
}

const TableVersions *ResultCache::report_reads(const std::string &key) const {
    auto r = report_reads_.find(key);
    return r == report_reads_.end() ? nullptr : &r->second;
}

void ResultCache::set_report_reads(const std::string &key, TableVersions reads) {
    if (!report_reads_.count(key))
        make_room(report_reads_, kMaxReports);
    report_reads_[key] = std::move(reads);
}

}  // namespace brindle::result_cache
