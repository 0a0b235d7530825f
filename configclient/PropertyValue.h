// PropertyValue: the text forms of typed subclient property values. Parsers
// are strict (no blanks, no sign on unsigned numbers, no trailing text) and
// leave the output unchanged when they return false.
#pragma once
#include <string>

#include "configclient/SquashType.h"

class PropertyValue {
public:
    // "1"/"0", also "true"/"false" in any case.
    static bool ParseBool(const std::string& text, bool& value);
    // Decimal 0 .. 4294967295.
    static bool ParseUInt32(const std::string& text, unsigned int& value);
    // Decimal with optional "-", within signed 32 bits.
    static bool ParseInt32(const std::string& text, int& value);
    // Decimal value of a ZELQUAYSquashType (0, 1 or 2).
    static bool ParseSquashType(const std::string& text, ZELQUAYSquashType& value);
    // "1" or "0": the form the client writes.
    static std::string FormatBool(bool value) { return value ? "1" : "0"; }
};
