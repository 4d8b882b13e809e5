// Building SQL text that carries values rather than names.
#pragma once

#include <string>
#include <string_view>

namespace brindle::interop::sql {

// The body of a standard SQL string literal for `text`: every single quote
// doubled. Spliced between two single quotes it always reads back as exactly
// `text`, whatever the text holds, and can never end the literal early.
// (Backslashes need nothing: standard literals give them no meaning.)
inline std::string escape_string_literal(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (char c : text) {
        out.push_back(c);
        if (c == '\'')
            out.push_back('\'');
    }
    return out;
}

// A name as a quoted SQL identifier: every double quote doubled.
inline std::string quote_identifier(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        out.push_back(c);
        if (c == '"')
            out.push_back('"');
    }
    return out + '"';
}

}  // namespace brindle::interop::sql
