#include "platform/ZelLogHook.h"

#include <stdarg.h>
#include <stdio.h>

#include <atomic>
#include <string>

namespace {

// Constant-initialised, so a warning during static construction is safe.
std::atomic<ZelWarningSink> gWarningSink{nullptr};

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int needed = vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (needed < 0) return std::string();
    if (static_cast<size_t>(needed) < sizeof(small)) return std::string(small, needed);
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(needed));
    return text;
}

}  // namespace

void ZelSetWarningSink(ZelWarningSink sink) { gWarningSink.store(sink); }

void ZelWarn(const char* function, int line, const char* format, ...) {
    if (function == nullptr) function = "";
    std::string text;
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        text = FormatV(format, args);
        va_end(args);
    }
    ZelWarningSink sink = gWarningSink.load();
    if (sink != nullptr) {
        sink(function, line, text.c_str());
        return;
    }
    fprintf(stderr, "WARN %s:%d %s\n", function, line, text.c_str());
}
