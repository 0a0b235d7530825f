// NFSv4 attributes (fattr4): the values of the attributes a client asks for,
// encoded from an object's stat and its share, and the attributes a client
// sets, decoded into an AttributeChange and an ACL. Owners and groups are
// numeric strings ("1000"), as AUTH_SYS clients send them. Pure functions:
// thread-safe, no I/O.
#pragma once
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/QuayAcl.h"
#include "nfsserver/AttributeChange.h"
#include "nfsserver/nfs4.h"

// What attributes are read from; the caller reads the ACL and the file
// system's figures only when they are asked for.
struct Nfs4AttributeSource {
    struct stat st{};
    uint64_t fsidMajor = 0;
    uint64_t fsidMinor = 0;
    std::string handle;
    uint32_t leaseSeconds = 90;
    bool caseInsensitive = false;
    bool aclSupported = false;            // the share keeps ACLs
    const QuayNfs4Acl* acl = nullptr;     // null: not read (left out)
    const struct statfs* fs = nullptr;    // null: not read (left out)
    nfsstat4 rdattrError = NFS4_OK;
    uint64_t mountedOnFileid = 0;
};

class Nfs4Attributes {
public:
    enum Attribute : uint32_t {
        kSupportedAttrs = 0,
        kType = 1,
        kFhExpireType = 2,
        kChange = 3,
        kSize = 4,
        kLinkSupport = 5,
        kSymlinkSupport = 6,
        kNamedAttr = 7,
        kFsid = 8,
        kUniqueHandles = 9,
        kLeaseTime = 10,
        kRdattrError = 11,
        kAcl = 12,
        kAclSupport = 13,
        kCanSetTime = 15,
        kCaseInsensitive = 16,
        kCasePreserving = 17,
        kChownRestricted = 18,
        kFilehandle = 19,
        kFileid = 20,
        kFilesAvail = 21,
        kFilesFree = 22,
        kFilesTotal = 23,
        kHomogeneous = 26,
        kMaxFileSize = 27,
        kMaxLink = 28,
        kMaxName = 29,
        kMaxRead = 30,
        kMaxWrite = 31,
        kMode = 33,
        kNoTrunc = 34,
        kNumLinks = 35,
        kOwner = 36,
        kOwnerGroup = 37,
        kRawDev = 41,
        kSpaceAvail = 42,
        kSpaceFree = 43,
        kSpaceTotal = 44,
        kSpaceUsed = 45,
        kTimeAccess = 47,
        kTimeAccessSet = 48,
        kTimeDelta = 51,
        kTimeMetadata = 52,
        kTimeModify = 53,
        kTimeModifySet = 54,
        kMountedOnFileid = 55,
    };
    static constexpr uint32_t kWords = 2;
    static constexpr uint32_t kMaxData = NFS4_MAXDATA;

    // Attributes encoded for one reply; fattr4 values point into it.
    struct Encoded {
        std::vector<uint32_t> mask;
        std::string values;
        void ToWire(fattr4& out);
    };
    // Attributes a client set.
    struct Decoded {
        AttributeChange change;
        bool setAcl = false;
        QuayNfs4Acl acl;
        std::vector<uint32_t> mask;  // what was set, for the reply's attrsset
    };

    static bool Wants(const bitmap4& asked, uint32_t attribute);
    // Whether reading the attributes needs the file system's figures.
    static bool WantsFileSystem(const bitmap4& asked);
    static bool IsSupported(uint32_t attribute, bool acl);

    // The asked attributes the source supports, in order.
    static void Encode(const bitmap4& asked, const Nfs4AttributeSource& source, Encoded& out);
    // Attributes to set: NFS4ERR_ATTRNOTSUPP for one not supported,
    // NFS4ERR_INVAL for one that cannot be set, NFS4ERR_BADXDR for values
    // that do not decode, NFS4ERR_BADOWNER for an owner that is no number.
    static nfsstat4 Decode(const fattr4& attributes, bool aclSupported, Decoded& out);
    // The type NFSv4 gives a stat mode.
    static nfs_ftype4 TypeOf(mode_t mode);
};
