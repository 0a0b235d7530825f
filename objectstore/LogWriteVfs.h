// LogWriteVfs: the SQLite VFS the metadata databases are opened with. It is
// the platform's own, except that the frames of a commit to the write-ahead
// log reach the file together.
//
// SQLite writes each frame of the log with two calls, the frame's header (24
// bytes) and its page, so a commit of 17 pages took 34 pwrite calls, most of
// which wrote into two pages of the file. Here the frames of a commit wait in
// the log file's buffer and go out in one write together with the header of
// the commit's last frame; that frame's page follows in a second write.
//
// Only frames no one can use yet ever wait: SQLite makes a commit's frames
// visible to readers (in the shared index) after writing the commit's last
// frame, and its header, which carries the database's size, is never held:
// it goes out at once with everything before it. Every other operation on
// the log file (read, size, sync, truncate, lock, file control, close), and
// every write that does not go on where the waiting bytes end, first writes
// what waits. So SQLite's own reads, checkpoints and syncs, and a sync of
// the file by anyone after a commit has returned, find the file as it would
// be unbuffered. A failed write is reported by the write of the commit's
// last frame at the latest, and SQLite then gives the commit up.
// Fault plan: "meta.log.write" fails the writes that reach the file.
#pragma once
#include <cstdint>

namespace ObjectStore {

class LogWriteVfs {
public:
    // The VFS's name for sqlite3_open_v2; registers it on first use.
    static const char* Name();
    // Writes of log frames SQLite asked for, and writes of log files that
    // reached the file system, in this process so far.
    static uint64_t FramesAsked();
    static uint64_t FileWrites();
};

}  // namespace ObjectStore
