#include "host/LogWriter.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/ZelLogHook.h"

namespace {

constexpr int kDefaultLevel = 1;
constexpr int kPlatformWarningLevel = 1;

int LevelFromEnvironment() {
    const char* text = getenv("QUAY_LOG_LEVEL");
    if (text == nullptr || *text == '\0') return kDefaultLevel;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) {
        fprintf(stderr, "QUAY_LOG_LEVEL [%s] is not a number; using level %d\n", text,
                kDefaultLevel);
        return kDefaultLevel;
    }
    return static_cast<int>(value);
}

// Platform warnings arrive here once a writer exists; they obey the level
// check like every other line.
void PlatformWarningSink(const char* function, int line, const char* text) {
    LogWriter* writer = g_ptrLogWriter;
    if (writer == nullptr) {
        fprintf(stderr, "%s:%d %s\n", function != nullptr ? function : "", line,
                text != nullptr ? text : "");
        return;
    }
    if (writer->GetLevel() >= kPlatformWarningLevel) {
        writer->Write(kPlatformWarningLevel, function, line, 0, 0, "%s",
                      text != nullptr ? text : "");
    }
}

// Formats without a length limit: a stack buffer for the usual short line,
// a second pass into a string of the exact size for longer ones.
std::string FormatText(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    char buffer[1024];
    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(buffer, sizeof(buffer), format, copy);
    va_end(copy);
    if (needed < 0) return std::string(format);
    if (static_cast<size_t>(needed) < sizeof(buffer)) return std::string(buffer, needed);
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    va_copy(copy, args);
    vsnprintf(&text[0], text.size(), format, copy);
    va_end(copy);
    text.resize(static_cast<size_t>(needed));
    return text;
}

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string TimeStamp() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts;
    localtime_r(&now.tv_sec, &parts);
    char text[64];
    size_t length = strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
    snprintf(text + length, sizeof(text) - length, ".%03ld", now.tv_nsec / 1000000L);
    return text;
}

// The process-wide writer. Created on first use and never destroyed, so that
// other libraries may log from their static initialisers and destructors.
LogWriter& DefaultWriter() {
    static LogWriter* writer = new LogWriter();
    return *writer;
}

}  // namespace

LogWriter* g_ptrLogWriter = &DefaultWriter();

LogWriter::LogWriter() : level_(LevelFromEnvironment()) { ZelSetWarningSink(PlatformWarningSink); }

LogWriter::~LogWriter() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) fclose(file_);
    file_ = nullptr;
}

int LogWriter::GetLevel() {
    std::lock_guard<std::mutex> lock(mutex_);
    return level_;
}

void LogWriter::SetLevel(int level) {
    std::lock_guard<std::mutex> lock(mutex_);
    level_ = level;
}

void LogWriter::Write(int level, const char* function, int line, int /*reserved1*/,
                      int /*reserved2*/, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteV(level, function, line, format, args);
    va_end(args);
}

void LogWriter::WriteV(int level, const char* function, int line, const char* format,
                       va_list args) {
    // The caller has done the level check; formatting happens outside the lock.
    std::string text = FormatText(format, args);
    const char* name = function != nullptr ? function : "";
    std::lock_guard<std::mutex> lock(mutex_);
    if (capturing_) {
        captured_.push_back(LogLine{level, name, line, std::move(text)});
        return;
    }
    FILE* out = file_ != nullptr ? file_ : stderr;
    fprintf(out, "%s %ld %d %s:%d %s\n", TimeStamp().c_str(),
            static_cast<long>(syscall(SYS_gettid)), level, name, line, text.c_str());
    fflush(out);
}

bool LogWriter::OpenFile(const std::string& path) {
    FILE* file = fopen(path.c_str(), "ae");
    if (file == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) fclose(file_);
    file_ = file;
    return true;
}

void LogWriter::StartCapture() {
    std::lock_guard<std::mutex> lock(mutex_);
    capturing_ = true;
}

void LogWriter::StopCapture() {
    std::lock_guard<std::mutex> lock(mutex_);
    capturing_ = false;
}

std::vector<LogLine> LogWriter::Captured() {
    std::lock_guard<std::mutex> lock(mutex_);
    return captured_;
}

void LogWriter::ClearCaptured() {
    std::lock_guard<std::mutex> lock(mutex_);
    captured_.clear();
}
