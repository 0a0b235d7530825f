#include "platform/ZELPlatformInfo.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/ZelDataDir.h"
#include "platform/ZelLogHook.h"

// File format, one item per line:
//   [Section]      starts a section
//   key=value      a value of the current section (split at the first '=')
//   # text, ; text comments; blank lines are ignored
// Blanks around names and values are trimmed; names compare exactly. When a
// key appears twice in a section, the later line wins. Anything else is
// skipped with a warning. The file is read on every call, so edits take
// effect at once.

namespace {

const char kBlanks[] = " \t\r\n\f\v";

std::string ErrorText(int err) {
    char buf[256];
    return strerror_r(err, buf, sizeof(buf));  // GNU variant: may not use buf
}

std::string Trim(const std::string& text) {
    std::string::size_type first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return std::string();
    std::string::size_type last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// Whole file into text. A missing file is simply absent; any other failure
// is worth a warning, since the administrator's settings are then ignored.
bool ReadWholeFile(const std::string& path, std::string* text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            ZelWarn(__PRETTY_FUNCTION__, __LINE__, "WARN: registry [%s] cannot be opened: %s",
                    path.c_str(), ErrorText(errno).c_str());
        }
        return false;
    }
    char buf[4096];
    bool ok = true;
    for (;;) {
        ssize_t got = read(fd, buf, sizeof(buf));
        if (got > 0) {
            text->append(buf, static_cast<size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            ZelWarn(__PRETTY_FUNCTION__, __LINE__, "WARN: registry [%s] cannot be read: %s",
                    path.c_str(), ErrorText(errno).c_str());
            ok = false;
            break;
        }
    }
    close(fd);
    return ok;
}

// True for "[name]" with a non-empty name, which is stored in section.
bool ParseSection(const std::string& line, std::string* section) {
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') return false;
    std::string name = Trim(line.substr(1, line.size() - 2));
    if (name.empty()) return false;
    *section = name;
    return true;
}

// True for "key=value" with a non-empty key.
bool ParseKeyValue(const std::string& line, std::string* key, std::string* value) {
    std::string::size_type eq = line.find('=');
    if (eq == std::string::npos) return false;
    *key = Trim(line.substr(0, eq));
    if (key->empty()) return false;
    *value = Trim(line.substr(eq + 1));
    return true;
}

// Looks section/key up in the file at path; warns about malformed lines.
bool FindValue(const std::string& path, const std::string& section, const std::string& key,
               std::string* value) {
    std::string text;
    if (!ReadWholeFile(path, &text)) return false;
    std::string current;
    bool inSection = false;  // before the first header no key belongs anywhere
    bool found = false;
    std::string::size_type start = 0;
    for (int lineNo = 1; start < text.size(); ++lineNo) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        std::string name, val;
        if (ParseSection(line, &current)) {
            inSection = true;
        } else if (ParseKeyValue(line, &name, &val)) {
            if (inSection && current == section && name == key) {
                *value = val;
                found = true;
            }
        } else {
            ZelWarn(__PRETTY_FUNCTION__, __LINE__, "WARN: registry [%s] line %d ignored: %s",
                    path.c_str(), lineNo, line.c_str());
        }
    }
    return found;
}

int DigitValue(char c, int base) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    return d < base ? d : -1;
}

// Unsigned digits of the given base, the whole string, no overflow.
bool ParseDigits(const std::string& digits, int base, unsigned long* out) {
    if (digits.empty()) return false;
    unsigned long value = 0;
    for (char c : digits) {
        int d = DigitValue(c, base);
        if (d < 0) return false;
        unsigned long limit = (~0UL - static_cast<unsigned long>(d)) / static_cast<unsigned long>(base);
        if (value > limit) return false;
        value = value * static_cast<unsigned long>(base) + static_cast<unsigned long>(d);
    }
    *out = value;
    return true;
}

// Decimal with an optional sign (negative values wrap, so "-1" is the unsigned
// maximum) or 0x hexadecimal. Leading zeros are decimal, not octal.
bool ParseNumber(const std::string& text, unsigned long* out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return ParseDigits(text.substr(2), 16, out);
    }
    bool negative = !text.empty() && text[0] == '-';
    bool sign = !text.empty() && (text[0] == '-' || text[0] == '+');
    unsigned long magnitude = 0;
    if (!ParseDigits(sign ? text.substr(1) : text, 10, &magnitude)) return false;
    *out = negative ? 0UL - magnitude : magnitude;
    return true;
}

}  // namespace

bool ZELPlatformInfo::getNumber(const char* section, const char* key, unsigned long* value) {
    if (section == nullptr || key == nullptr || value == nullptr) return false;
    std::string path = RegistryPath();
    std::string text;
    if (!FindValue(path, section, key, &text)) return false;
    unsigned long number = 0;
    if (!ParseNumber(text, &number)) {
        ZelWarn(__PRETTY_FUNCTION__, __LINE__,
                "WARN: registry [%s] value of [%s]/%s is not a number: %s", path.c_str(), section,
                key, text.c_str());
        return false;
    }
    *value = number;
    return true;
}

bool ZELPlatformInfo::getString(const char* section, const char* key, std::string* value) {
    if (section == nullptr || key == nullptr || value == nullptr) return false;
    std::string text;
    if (!FindValue(RegistryPath(), section, key, &text)) return false;
    *value = text;
    return true;
}

std::string ZELPlatformInfo::RegistryPath() {
    const char* env = getenv("QUAY_REGISTRY_FILE");
    if (env != nullptr && env[0] != '\0') return env;
    return ZelDataDir() + "/registry.ini";
}
