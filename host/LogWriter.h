// The host's log writer. Every component and the module log through the one
// global g_ptrLogWriter: ask GetLevel() first, then Write() when the current
// level is at least the message's level.
//
// Lines go to a log file (OpenFile) or to stderr, each with time, thread id,
// level, the request tag of the writing thread (LogRequestTag) when it has
// one, function and line. Texts carry what clients send (paths, names), so
// control characters are escaped on the way out (Escape): no text can start
// a line of its own or send a terminal sequence. The file is rotated at a
// size (SetRotation) and can be opened again under its name (Reopen).
// For tests the writer can capture lines in memory instead.
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

struct LogLine {
    int level;
    std::string function;  // __PRETTY_FUNCTION__ of the writer
    int line;
    std::string text;      // the formatted message, without decoration or escaping
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

    // Sends lines to the file at path (appending). False when it cannot be
    // opened; the earlier destination stays in use.
    bool OpenFile(const std::string& path);
    // Opens the file of OpenFile again under its name, so a file moved away
    // (by an outside log rotation) is let go. False, with the open file kept,
    // when there is no file or it cannot be opened; errno tells why.
    bool Reopen();
    // Before a line would take the file above maxBytes, the file becomes
    // <path>.1 (an older <path>.1 becomes <path>.2, and so on up to
    // <path>.<keep>; the oldest beyond that is removed) and a new file is
    // started. keep 0: the full file is removed. maxBytes 0: no rotation.
    void SetRotation(uint64_t maxBytes, unsigned keep);

    // The text as it is written: control characters (bytes 0-31 and 127,
    // and the UTF-8 forms of U+0080 to U+009F) as \n, \r, \t or \xHH; one
    // trailing newline, the line's own end, is dropped instead.
    static std::string Escape(const std::string& text);

    // Test seam: while capturing, lines are kept in memory (all levels that
    // pass the level check) instead of being printed.
    void StartCapture();
    void StopCapture();
    std::vector<LogLine> Captured();
    void ClearCaptured();

private:
    // Requires mutex_. Moves the full file aside and opens a new one; on a
    // failure the old file stays in use (and is tried again at the next line).
    void RotateLocked();

    // Read before every line any thread might write, so it takes no lock:
    // a level changed meanwhile applies from the next check on.
    std::atomic<int> level_;
    std::mutex mutex_;
    FILE* file_ = nullptr;          // guarded by mutex_
    std::string path_;              // guarded by mutex_; the file's name
    uint64_t size_ = 0;             // guarded by mutex_; bytes in file_
    uint64_t maxBytes_ = 0;         // guarded by mutex_
    unsigned keep_ = 0;             // guarded by mutex_
    bool capturing_ = false;        // guarded by mutex_
    std::vector<LogLine> captured_; // guarded by mutex_
};

extern LogWriter* g_ptrLogWriter;
