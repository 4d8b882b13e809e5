// Filling the message and statement templates kept as constants per module.
#pragma once

#include <cctype>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace brindle::interop {

using Field = std::pair<std::string_view, std::string_view>;

// The text with ASCII letters in lower case, as DuckDB compares names and
// error texts are searched.
std::string ascii_lower(std::string text);

// Whether the two texts are the same but for the case of ASCII letters.
bool equal_ignoring_ascii_case(std::string_view left, std::string_view right);

// Replaces every {name} in the template with its value. Names that have no
// value are left as they stand.
std::string fill(std::string_view tmpl, std::initializer_list<Field> fields);

}  // namespace brindle::interop
