#include "nfsserver/CallerIdentity.h"

#include <algorithm>
#include <utility>

CallerIdentity::CallerIdentity(std::string address) : address_(std::move(address)), anonymous_(true) {
    Relink();
}

CallerIdentity::CallerIdentity(std::string address, uint32_t uid, uint32_t gid,
                               std::vector<uint32_t> groups)
    : address_(std::move(address)), anonymous_(false), groups_(std::move(groups)) {
    ids_.uid = uid;
    ids_.gid = gid;
    Relink();
}

CallerIdentity::CallerIdentity(const CallerIdentity& other)
    : address_(other.address_), anonymous_(other.anonymous_), groups_(other.groups_), ids_(other.ids_) {
    Relink();
}

bool CallerIdentity::SameAs(const CallerIdentity& other) const {
    if (anonymous_ != other.anonymous_ || address_ != other.address_) return false;
    const IdInfo& x = ids_;
    const IdInfo& y = other.ids_;
    return x.uid == y.uid && x.gid == y.gid && x.ngroups == y.ngroups &&
           std::equal(x.groups, x.groups + x.ngroups, y.groups);
}

void CallerIdentity::Relink() {
    ids_.ngroups = static_cast<uint32_t>(groups_.size());
    ids_.groups = groups_.empty() ? nullptr : groups_.data();
}

void CallerIdentity::Squash(Export& exp) {
    const ZELQUAYSquashType type = exp.GetSquashingType();
    const bool all = type == ZEL_QUAY_ALL_SQUASH || anonymous_;
    if (all || (type == ZEL_QUAY_ROOT_SQUASH && ids_.uid == 0)) ids_.uid = exp.GetAnonUid();
    if (all || (type == ZEL_QUAY_ROOT_SQUASH && ids_.gid == 0)) ids_.gid = exp.GetAnonGid();
    if (all) {
        groups_.clear();
    } else if (type == ZEL_QUAY_ROOT_SQUASH) {
        for (uint32_t& group : groups_) {
            if (group == 0) group = exp.GetAnonGid();
        }
    }
    Relink();
}
