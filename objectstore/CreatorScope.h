// The owner of the objects that the calling thread creates. A file server
// sets it around each request, as a kernel file system takes a new inode's
// owner from the creating process's file-system ids (setfsuid); where no
// scope is active, new objects get the store's default owner.
#pragma once
#include <cstdint>

namespace ObjectStore {

class CreatorScope {
public:
    CreatorScope(uint32_t uid, uint32_t gid);
    ~CreatorScope();  // the thread's previous owner applies again
    CreatorScope(const CreatorScope&) = delete;
    CreatorScope& operator=(const CreatorScope&) = delete;

    // The owner of the innermost active scope of this thread; false, and
    // uid and gid unchanged, when there is none.
    static bool Current(uint32_t& uid, uint32_t& gid);

private:
    const CreatorScope* outer_;
    uint32_t uid_;
    uint32_t gid_;
};

}  // namespace ObjectStore
