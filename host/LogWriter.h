// The host's log writer. Every component and the module log through the one
// global g_ptrLogWriter: ask GetLevel() first, then Write() when the current
// level is at least the message's level.
//
// Lines go to a log file (OpenFile) or to stderr, each with time, thread id and
// level. For tests the writer can capture lines in memory instead.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

struct LogLine {
    int level;
    std::string function;  // __PRETTY_FUNCTION__ of the writer
    int line;
    std::string text;      // the formatted message, without decoration
};

class LogWriter {
public:
    LogWriter();
    virtual ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Current level: a message is written when GetLevel() >= its level.
    virtual int GetLevel();
    void SetLevel(int level);

    // Writes one line. The two zero arguments are reserved by the host's
    // calling convention and ignored.
    virtual void Write(int level, const char* function, int line, int reserved1, int reserved2,
                       const char* format, ...) __attribute__((format(printf, 7, 8)));
    void WriteV(int level, const char* function, int line, const char* format, va_list args);

    // Sends lines to the file at path (appending). False when it cannot be opened.
    bool OpenFile(const std::string& path);

    // Test seam: while capturing, lines are kept in memory (all levels that
    // pass the level check) instead of being printed.
    void StartCapture();
    void StopCapture();
    std::vector<LogLine> Captured();
    void ClearCaptured();

private:
    std::mutex mutex_;
    int level_;                     // guarded by mutex_
    FILE* file_ = nullptr;          // guarded by mutex_
    bool capturing_ = false;        // guarded by mutex_
    std::vector<LogLine> captured_; // guarded by mutex_
};

extern LogWriter* g_ptrLogWriter;
