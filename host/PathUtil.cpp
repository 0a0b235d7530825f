#include "host/PathUtil.h"

void RemoveDuplicates(std::string& text, char ch) {
    std::string::size_type out = 0;
    for (std::string::size_type in = 0; in < text.size(); ++in) {
        if (text[in] == ch && out > 0 && text[out - 1] == ch) continue;
        text[out++] = text[in];
    }
    text.resize(out);
}

void DirName(const std::string& path, std::string& dir) {
    std::string::size_type end = path.find_last_not_of('/');
    if (end == std::string::npos) {  // empty, or nothing but slashes
        dir = path.empty() ? "." : "/";
        return;
    }
    std::string::size_type slash = path.rfind('/', end);
    if (slash == std::string::npos) {
        dir = ".";
        return;
    }
    std::string::size_type last = path.find_last_not_of('/', slash);
    dir = last == std::string::npos ? "/" : path.substr(0, last + 1);
}
