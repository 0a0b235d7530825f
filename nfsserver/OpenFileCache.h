// Open module descriptors by file handle, so a long copy does not open and
// close its file for every READ or WRITE. Bounded: beyond the capacity the
// least recently used file is closed; files idle longer than the idle time,
// and files of shares no longer served, are closed by CloseIdle. A file is
// used only through the export it was opened through: a share exported anew
// under the same id gets descriptors of its own. Thread-safe.
#pragma once
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/BkEndProc.h"
#include "nfsserver/FileRequest.h"
#include "nfsserver/OpenFile.h"

class OpenFileCache {
public:
    using Clock = std::chrono::steady_clock;

    // now: the clock idle times are measured on.
    OpenFileCache(size_t capacity, std::chrono::milliseconds idle,
                  std::function<Clock::time_point()> now = Clock::now);
    ~OpenFileCache();
    OpenFileCache(const OpenFileCache&) = delete;
    OpenFileCache& operator=(const OpenFileCache&) = delete;

    // The request's object open for reading (or writing): the cached file, or
    // one opened now with the request's context. 0 or the open's errno.
    int Acquire(const FileRequest& request, bool write, std::shared_ptr<OpenFile>& file);
    // The cached file of the key, or null; opens nothing.
    std::shared_ptr<OpenFile> Find(const std::string& key);
    // Drops the key's file (closed once no call uses it): before a remove or
    // rename, so no descriptor outlives its name.
    void Forget(const std::string& key);
    // Closes files unused for the idle time or longer, and the files of
    // exports no longer served.
    void CloseIdle();
    // Closes everything; before the module unloads.
    void Clear();
    size_t Size();

private:
    struct Entry {
        std::shared_ptr<OpenFile> file;
        Clock::time_point lastUse;
        std::list<std::string>::iterator order;
    };
    void InsertLocked(const std::string& key, std::shared_ptr<OpenFile> file,
                      std::vector<std::shared_ptr<OpenFile>>& dropped);

    const size_t capacity_;
    const std::chrono::milliseconds idle_;
    const std::function<Clock::time_point()> now_;
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;  // guarded by mutex_
    std::list<std::string> order_;          // guarded by mutex_; most recent first
};
