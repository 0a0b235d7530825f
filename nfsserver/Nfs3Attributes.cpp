#include "nfsserver/Nfs3Attributes.h"

#include <sys/sysmacros.h>

#include <cstring>

namespace {

nfs3_ftype TypeOf(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR: return NFS3_DIR;
        case S_IFLNK: return NFS3_LNK;
        case S_IFBLK: return NFS3_BLK;
        case S_IFCHR: return NFS3_CHR;
        case S_IFSOCK: return NFS3_SOCK;
        case S_IFIFO: return NFS3_FIFO;
        default: return NFS3_REG;
    }
}

nfstime3 Time(const timespec& t) {
    return nfstime3{static_cast<uint32>(t.tv_sec), static_cast<uint32>(t.tv_nsec)};
}

timespec Time(const nfstime3& t) {
    return timespec{static_cast<time_t>(t.seconds), static_cast<long>(t.nseconds)};
}

AttributeChange::Time How(time_how how) {
    switch (how) {
        case SET_TO_SERVER_TIME: return AttributeChange::kServerTime;
        case SET_TO_CLIENT_TIME: return AttributeChange::kClientTime;
        default: return AttributeChange::kKeep;
    }
}

}  // namespace

namespace Nfs3Attributes {

void FromStat(const struct stat& st, uint32_t shareId, fattr3& out) {
    out.type = TypeOf(st.st_mode);
    out.mode = st.st_mode & 07777;
    out.nlink = static_cast<uint32>(st.st_nlink);
    out.uid = st.st_uid;
    out.gid = st.st_gid;
    out.size = static_cast<size3>(st.st_size);
    out.used = static_cast<size3>(st.st_blocks) * 512;
    out.rdev.specdata1 = major(st.st_rdev);
    out.rdev.specdata2 = minor(st.st_rdev);
    out.fsid = shareId;
    out.fileid = static_cast<fileid3>(st.st_ino);
    out.atime = Time(st.st_atim);
    out.mtime = Time(st.st_mtim);
    out.ctime = Time(st.st_ctim);
}

void PostOp(FileService& service, const FileRequest& request, const BkEndProcPtr& object, post_op_attr& out) {
    struct stat st{};
    out.attributes_follow = object && service.GetAttributes(request, object, st) == 0;
    if (out.attributes_follow) FromStat(st, request.GetExport()->GetShareId(), out.post_op_attr_u.attributes);
}

void ToHost(const nfs3_handle& in, nfs_fh3& out) {
    out.length = in.data.data_len <= NFS3_FHSIZE_MAX ? in.data.data_len : 0;
    // An empty handle decodes with no buffer at all.
    if (out.length != 0) memcpy(out.data, in.data.data_val, out.length);
}

void ToWire(const nfs_fh3& in, nfs3_handle& out) {
    out.data.data_len = in.length;
    out.data.data_val = reinterpret_cast<char*>(const_cast<unsigned char*>(in.data));
}

AttributeChange FromWire(const sattr3& in) {
    AttributeChange change;
    change.setMode = in.mode.set_it;
    change.mode = in.mode.set_mode3_u.mode;
    change.setUid = in.uid.set_it;
    change.uid = in.uid.set_uid3_u.uid;
    change.setGid = in.gid.set_it;
    change.gid = in.gid.set_gid3_u.gid;
    change.setSize = in.size.set_it;
    change.size = in.size.set_size3_u.size;
    change.atime = How(in.atime.set_it);
    change.atimeValue = Time(in.atime.set_atime_u.atime);
    change.mtime = How(in.mtime.set_it);
    change.mtimeValue = Time(in.mtime.set_mtime_u.mtime);
    return change;
}

}  // namespace Nfs3Attributes
