#include "platform/FXString.h"

namespace {

void Append(std::vector<std::string>& out, std::string piece, int skipEmpty) {
    if (piece.empty() && skipEmpty) return;
    out.push_back(std::move(piece));
}

}  // namespace

void FXString::Split(const std::string& text, const std::string& delimiter,
                     std::vector<std::string>& out, int skipEmpty) {
    if (delimiter.empty()) {
        Append(out, text, skipEmpty);
        return;
    }
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type hit = text.find(delimiter, start);
        if (hit == std::string::npos) break;
        Append(out, text.substr(start, hit - start), skipEmpty);
        start = hit + delimiter.size();
    }
    Append(out, text.substr(start), skipEmpty);
}
