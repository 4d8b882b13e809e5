// Filling the message and statement templates kept as constants per module.
#include "text.h"

#include <cctype>

namespace brindle::interop {
std::string ascii_lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool equal_ignoring_ascii_case(std::string_view left, std::string_view right) {
    if (left.size() != right.size())
        return false;
    for (std::size_t i = 0; i < left.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(left[i])) != std::tolower(static_cast<unsigned char>(right[i])))
            return false;
    return true;
}

std::string fill(std::string_view tmpl, std::initializer_list<Field> fields) {
    std::string out;
    out.reserve(tmpl.size() + 32);
    size_t pos = 0;
    while (pos < tmpl.size()) {
        size_t open = tmpl.find('{', pos);
        if (open == std::string_view::npos) {
            out.append(tmpl.substr(pos));
            break;
        }
        size_t close = tmpl.find('}', open + 1);
        if (close == std::string_view::npos) {
            out.append(tmpl.substr(pos));
            break;
        }
        out.append(tmpl.substr(pos, open - pos));
        std::string_view key = tmpl.substr(open + 1, close - open - 1);
        const Field *hit = nullptr;
        for (const Field &f : fields)
            if (f.first == key) {
                hit = &f;
                break;
            }
        if (hit)
            out.append(hit->second);
        else
            out.append(tmpl.substr(open, close - open + 1));
        pos = close + 1;
    }
    return out;
}

}  // namespace brindle::interop
