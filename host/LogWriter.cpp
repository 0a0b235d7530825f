#include "host/LogWriter.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "host/LogRequestTag.h"
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

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// The second byte of a UTF-8 encoded C1 control (U+0080 to U+009F) after 0xC2.
bool IsC1Tail(unsigned char c) {
    return c >= 0x80 && c <= 0x9f;
}

void AppendHex(std::string& out, unsigned char c) {
    static const char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[c >> 4];
    out += kDigits[c & 0xf];
}

uint64_t FileSize(FILE* file) {
    struct stat st;
    return fstat(fileno(file), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
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

int LogWriter::GetLevel() { return level_.load(std::memory_order_relaxed); }

void LogWriter::SetLevel(int level) { level_.store(level, std::memory_order_relaxed); }

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
    LogRequestTag* tag = LogRequestTag::Current();
    std::string escaped = Escape(text);
    if (tag != nullptr) tag->Note(level, escaped);
    std::lock_guard<std::mutex> lock(mutex_);
    if (capturing_) {
        captured_.push_back(LogLine{level, name, line, std::move(text)});
        return;
    }
    std::string decorated = TimeStamp() + " " + std::to_string(static_cast<long>(syscall(SYS_gettid))) + " " +
                            std::to_string(level) + " ";
    if (tag != nullptr) decorated += "[" + Escape(tag->tag()) + "] ";
    decorated += name;
    decorated += ":" + std::to_string(line) + " " + escaped + "\n";
    if (file_ != nullptr && maxBytes_ > 0 && size_ > 0 && size_ + decorated.size() > maxBytes_) RotateLocked();
    FILE* out = file_ != nullptr ? file_ : stderr;
    fwrite(decorated.data(), 1, decorated.size(), out);
    fflush(out);
    if (file_ != nullptr) size_ += decorated.size();
}

std::string LogWriter::Escape(const std::string& text) {
    size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') --end;
    size_t i = 0;
    while (i < end && !IsControl(static_cast<unsigned char>(text[i])) &&
           !(static_cast<unsigned char>(text[i]) == 0xc2 && i + 1 < end &&
             IsC1Tail(static_cast<unsigned char>(text[i + 1])))) {
        ++i;
    }
    if (i == end) return end == text.size() ? text : text.substr(0, end);
    std::string out = text.substr(0, i);
    for (; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (IsControl(c)) {
            AppendHex(out, c);
        } else if (c == 0xc2 && i + 1 < end && IsC1Tail(static_cast<unsigned char>(text[i + 1]))) {
            AppendHex(out, c);
            AppendHex(out, static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool LogWriter::OpenFile(const std::string& path) {
    FILE* file = fopen(path.c_str(), "ae");
    if (file == nullptr) return false;
    const uint64_t size = FileSize(file);
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) fclose(file_);
    file_ = file;
    path_ = path;
    size_ = size;
    return true;
}

bool LogWriter::Reopen() {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        path = path_;
    }
    if (path.empty()) {
        errno = EBADF;
        return false;
    }
    return OpenFile(path);
}

void LogWriter::SetRotation(uint64_t maxBytes, unsigned keep) {
    std::lock_guard<std::mutex> lock(mutex_);
    maxBytes_ = maxBytes;
    keep_ = keep;
}

void LogWriter::RotateLocked() {
    // Oldest first, so every rename lands on a name already moved on.
    bool moved = true;
    if (keep_ == 0) {
        moved = unlink(path_.c_str()) == 0 || errno == ENOENT;
    } else {
        for (unsigned i = keep_; i > 1; --i) {
            const std::string from = path_ + "." + std::to_string(i - 1);
            if (rename(from.c_str(), (path_ + "." + std::to_string(i)).c_str()) != 0 && errno != ENOENT) moved = false;
        }
        if (rename(path_.c_str(), (path_ + ".1").c_str()) != 0) moved = false;
    }
    FILE* fresh = moved ? fopen(path_.c_str(), "ae") : nullptr;
    if (fresh == nullptr) {
        // Writing on beats losing lines; the next try comes after another
        // maxBytes_, so a directory that refuses renames is not hammered.
        fprintf(stderr, "log rotation of %s failed: %s\n", path_.c_str(), strerror(errno));
        size_ = 0;
        return;
    }
    fclose(file_);
    file_ = fresh;
    size_ = FileSize(fresh);
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
