// One call's view of a file: the export and backend object a received handle
// resolved to, and the caller after squashing. Builds the QuayCtxt for each
// backend operation; the contexts point at this object's ids, so a context
// must not outlive the request.
#pragma once
#include <string>

#include "host/BkEndProc.h"
#include "host/Export.h"
#include "host/NfsTypes.h"
#include "host/QuayCtxt.h"
#include "nfsserver/CallerIdentity.h"

class FileRequest {
public:
    explicit FileRequest(const CallerIdentity& caller) : caller_(caller) {}
    FileRequest(const FileRequest&) = delete;
    FileRequest& operator=(const FileRequest&) = delete;

    QuayCtxt Context(const BkEndProcPtr& object) const { return QuayCtxt(caller_.Ids(), exp_, object); }
    // The open-file cache's key of the object: its handle bytes.
    std::string Key() const { return std::string(reinterpret_cast<const char*>(handle_.data), handle_.length); }

    const ExportPtr& GetExport() const { return exp_; }
    const BkEndProcPtr& Object() const { return object_; }
    const nfs_fh3& Handle() const { return handle_; }
    CallerIdentity& Caller() { return caller_; }
    const CallerIdentity& Caller() const { return caller_; }

    void Bind(const ExportPtr& exp, const BkEndProcPtr& object, const nfs_fh3& handle) {
        exp_ = exp;
        object_ = object;
        handle_ = handle;
    }

private:
    CallerIdentity caller_;
    ExportPtr exp_;
    BkEndProcPtr object_;
    nfs_fh3 handle_;
};
