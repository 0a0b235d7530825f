// SqlText: database texts (error messages, locations) made fit for a log line
// or an admin answer.
#pragma once
#include <cstddef>
#include <string>

namespace SqlText {

// text with control bytes (0x00-0x1F, 0x7F) as \xHH, a trailing newline
// dropped, and cut to at most max bytes (then ending in "...").
std::string Printable(const std::string& text, size_t max);

}  // namespace SqlText
