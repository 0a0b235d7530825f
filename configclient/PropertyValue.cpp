#include "configclient/PropertyValue.h"

#include <strings.h>

#include <cstdint>
#include <limits>

namespace {

// Decimal digits only, at most 19 of them (fits int64 without overflow).
bool ParseDigits(const std::string& text, size_t start, int64_t& value) {
    if (start >= text.size() || text.size() - start > 19) return false;
    int64_t result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        result = result * 10 + (text[i] - '0');
    }
    value = result;
    return true;
}

}  // namespace

bool PropertyValue::ParseBool(const std::string& text, bool& value) {
    // strcasecmp stops at a NUL byte; "true\0x" is not "true".
    if (text.find('\0') != std::string::npos) return false;
    if (text == "1" || strcasecmp(text.c_str(), "true") == 0) {
        value = true;
    } else if (text == "0" || strcasecmp(text.c_str(), "false") == 0) {
        value = false;
    } else {
        return false;
    }
    return true;
}

bool PropertyValue::ParseUInt32(const std::string& text, unsigned int& value) {
    int64_t parsed = 0;
    if (!ParseDigits(text, 0, parsed) || parsed > std::numeric_limits<uint32_t>::max()) return false;
    value = static_cast<unsigned int>(parsed);
    return true;
}

bool PropertyValue::ParseInt32(const std::string& text, int& value) {
    const bool negative = !text.empty() && text[0] == '-';
    int64_t parsed = 0;
    if (!ParseDigits(text, negative ? 1 : 0, parsed)) return false;
    if (negative) parsed = -parsed;
    if (parsed < std::numeric_limits<int32_t>::min() || parsed > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

bool PropertyValue::ParseSquashType(const std::string& text, ZELQUAYSquashType& value) {
    unsigned int parsed = 0;
    if (!ParseUInt32(text, parsed) || parsed > ZEL_QUAY_ALL_SQUASH) return false;
    value = static_cast<ZELQUAYSquashType>(parsed);
    return true;
}
