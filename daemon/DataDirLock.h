// DataDirLock: one quayd per data directory. Two daemons on one directory
// would share its database, log, saved exports and stores, and take each
// other's rpcbind registrations. The lock is an flock on <data dir>/quayd.pid,
// taken before anything else in the directory is opened; the file holds the
// pid of the quayd that holds the lock. The kernel drops the lock when the
// process ends, however it ends, so a stale file never blocks a start.
//
// Not thread-safe; one object per process, alive while the daemon runs.
#pragma once
#include <sys/types.h>

#include <string>

class DataDirLock {
public:
    static constexpr char kFileName[] = "quayd.pid";

    DataDirLock() = default;
    ~DataDirLock() { Release(); }
    DataDirLock(const DataDirLock&) = delete;
    DataDirLock& operator=(const DataDirLock&) = delete;

    // Takes the lock and writes this process's pid into the file. 0 on
    // success. EWOULDBLOCK: another process holds it; holder is its pid as
    // the file says (0 when the file does not tell yet), and no byte of the
    // file was changed. Other errno values from open or flock.
    int Acquire(const std::string& dataDir, pid_t& holder);
    // Empties the file (no pid of a stopped quayd stays behind) and drops
    // the lock. The file itself stays: removing it could let two daemons
    // lock two different files of the same name.
    void Release();

private:
    int fd_ = -1;
};
