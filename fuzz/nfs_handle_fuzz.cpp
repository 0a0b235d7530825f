// libFuzzer target: the input is a file handle as an NFS call carries it (an
// nfs_fh3 in XDR), taken through the checks the server applies to every
// received handle: FileService::Resolve's shape and type checks and export
// lookup, the module's own decoding (BackupFSMFileHandle and its text form)
// and the module's keyed export table. No export exists, so the outcome of
// each is known and checked, not only survived.
#include <rpc/rpc.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/LogWriter.h"
#include "module/export/BackupFSMExport.h"
#include "module/filehandle/BackupFSMFileHandle.h"
#include "module/filehandle/FileHandleToExport.h"
#include "module/fsm/BackupFSM.h"
#include "nfsserver/FileService.h"
#include "nfsserver/Nfs3Attributes.h"
#include "nfsserver/XdrArgs.h"
#include "nfsserver/nfs3.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

// The handle as the NFS program hands it to the file service; false when the
// bytes are no nfs_fh3.
bool Receive(const uint8_t* data, size_t size, nfs_fh3& handle) {
    std::vector<char> bytes(data, data + size);
    XDR xdrs;
    xdrmem_create(&xdrs, bytes.data(), static_cast<u_int>(bytes.size()), XDR_DECODE);
    nfs3_handle wire{};
    const bool decoded = xdr_nfs3_handle(&xdrs, &wire);
    if (decoded) Nfs3Attributes::ToHost(wire, handle);
    xdr_free(XDR_PROC(xdr_nfs3_handle), &wire);
    XDR_DESTROY(&xdrs);
    return decoded;
}

bool OfModuleShape(const nfs_fh3& handle) {
    uint32_t type = 0;
    memcpy(&type, handle.data, sizeof(type));
    return (handle.length == BackupFSMFileHandle::kLength || handle.length == BackupFSMFileHandle::kDnfsLength) &&
           type == BackupFSMFileHandle::kFsmType;
}

void CheckResolve(const nfs_fh3& handle) {
    static OpenFileCache files(1, std::chrono::milliseconds(5000));
    static FileService service(*LoadFSM(), files);
    FileRequest request{CallerIdentity("fuzz")};
    Require(service.Resolve(handle, request) == (OfModuleShape(handle) ? ESTALE : EBADF));
}

void CheckModuleDecoding(const nfs_fh3& handle) {
    Require(BackupFSMFileHandle::IsValid(handle) == OfModuleShape(handle));
    BackupFSMFileHandle decoded(handle);
    Require(!decoded.valid);
    Require(memchr(decoded.guid, '\0', sizeof(decoded.guid)) != nullptr);
    std::string text;
    BackupFSMFileHandle::FH2Str(handle, text);
    Require(!text.empty());

    boost::shared_ptr<BackupFSMExport> exp;
    std::string guidKey(decoded.guid);
    Require(!FileHandleToExport::find(guidKey, exp) && !exp);
    std::string handleKey(reinterpret_cast<const char*>(handle.data), handle.length);
    Require(!FileHandleToExport::find(handleKey, exp) && !exp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every log line is formatted, and none is kept.
    g_ptrLogWriter->SetLevel(10);
    g_ptrLogWriter->StartCapture();
    g_ptrLogWriter->ClearCaptured();

    nfs_fh3 handle;
    if (!Receive(data, size, handle)) return 0;
    CheckResolve(handle);
    CheckModuleDecoding(handle);
    return 0;
}
