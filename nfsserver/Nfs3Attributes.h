// Conversions between the host's records and NFSv3 wire records.
#pragma once
#include <sys/stat.h>

#include "host/NfsTypes.h"
#include "nfsserver/CallerIdentity.h"
#include "nfsserver/FileService.h"
#include "nfsserver/nfs3.h"

namespace Nfs3Attributes {

void FromStat(const struct stat& st, uint32_t shareId, fattr3& out);
// Attributes of the object after the call; none when they cannot be read.
void PostOp(FileService& service, const FileRequest& request, const BkEndProcPtr& object, post_op_attr& out);
// The received handle in the host's record. Its length is bounded by XDR.
void ToHost(const nfs3_handle& in, nfs_fh3& out);
// Points the wire handle at the record's bytes: the record must outlive the reply.
void ToWire(const nfs_fh3& in, nfs3_handle& out);
// Requested attribute changes of a sattr3.
AttributeChange FromWire(const sattr3& in);

}  // namespace Nfs3Attributes
