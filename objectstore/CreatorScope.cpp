#include "objectstore/CreatorScope.h"

namespace ObjectStore {

namespace {
thread_local const CreatorScope* innermost = nullptr;
}  // namespace

CreatorScope::CreatorScope(uint32_t uid, uint32_t gid) : outer_(innermost), uid_(uid), gid_(gid) {
    innermost = this;
}

CreatorScope::~CreatorScope() { innermost = outer_; }

bool CreatorScope::Current(uint32_t& uid, uint32_t& gid) {
    if (innermost == nullptr) return false;
    uid = innermost->uid_;
    gid = innermost->gid_;
    return true;
}

}  // namespace ObjectStore
