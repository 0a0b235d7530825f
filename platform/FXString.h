// String helpers shared by the components.
#pragma once
#include <string>
#include <vector>

class FXString {
public:
    // Splits text at every occurrence of delimiter (a whole string, not a set
    // of characters) and appends the pieces to out. With skipEmpty non-zero,
    // empty pieces are dropped. An empty delimiter yields the text as one piece.
    static void Split(const std::string& text, const std::string& delimiter,
                      std::vector<std::string>& out, int skipEmpty);
};
