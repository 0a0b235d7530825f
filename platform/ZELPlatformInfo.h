// Reader of the host's registry: a text file of [sections] and key=value
// lines. Its path is the environment variable QUAY_REGISTRY_FILE, or
// <data directory>/registry.ini (see ZelDataDir). A missing file or key reads
// as absent. A malformed line or a non-numeric value is skipped with a warning.
#pragma once
#include <string>

class ZELPlatformInfo {
public:
    ZELPlatformInfo() = default;

    // Fills value and returns true when section/key exists with a number
    // (decimal, optionally signed, or 0x hexadecimal; "-1" reads as the
    // unsigned maximum). Leaves value untouched and returns false otherwise.
    bool getNumber(const char* section, const char* key, unsigned long* value);
    // Same for a text value.
    bool getString(const char* section, const char* key, std::string* value);

    // Path of the registry file this process reads.
    static std::string RegistryPath();
};
