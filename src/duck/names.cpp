// Which table names the cache accepts.
#include "duck/names.h"

namespace brindle::interop::names {

bool is_ascii_identifier(std::string_view name) {
    if (name.empty())
        return false;
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (!letter(name.front()))
        return false;
    for (char c : name)
        if (!letter(c) && !(c >= '0' && c <= '9'))
            return false;
    return true;
}

bool is_reserved_keyword(std::string_view name) {
    const detail::Refused *refused = refused_words();
    return refused && refused->reserved.count(ascii_lower(std::string(name))) > 0;
}

bool is_internal_catalog_name(std::string_view name) {
    const detail::Refused *refused = refused_words();
    return refused && refused->internal.count(ascii_lower(std::string(name))) > 0;
}

std::string describe_statement(std::string_view table) {
    static const std::unordered_set<std::string> kShowWords{"schemas", "tables", "databases", "variables"};
    const char *tmpl = kShowWords.count(ascii_lower(std::string(table))) ? kDescribeSelect : kDescribe;
    return fill(tmpl, {{"table", table}});
}

}  // namespace brindle::interop::names
