#include "configclient/SqlText.h"

#include <cstdio>

namespace SqlText {

std::string Printable(const std::string& text, size_t max) {
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == ' ')) trimmed.pop_back();
    std::string out;
    for (unsigned char c : trimmed) {
        if (c < 0x20 || c == 0x7f) {
            char escaped[5];
            snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
        if (out.size() > max) {
            out.resize(max > 3 ? max - 3 : 0);
            return out + "...";
        }
    }
    return out;
}

}  // namespace SqlText
