// A module descriptor kept open across READ, WRITE and COMMIT of one file.
// The destructor closes it through the module, so the last holder (cache or
// running call) closes it. Thread-safe for concurrent use of fd().
#pragma once
#include "host/BkEndProc.h"
#include "host/Export.h"

class OpenFile {
public:
    OpenFile(BkEndProcPtr object, ExportPtr exp, int fd, bool writable);
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    int Fd() const { return fd_; }
    // The export the file was opened through.
    const ExportPtr& GetExport() const { return exp_; }
    bool Writable() const { return writable_; }

private:
    const BkEndProcPtr object_;
    const ExportPtr exp_;
    const int fd_;
    const bool writable_;
};
