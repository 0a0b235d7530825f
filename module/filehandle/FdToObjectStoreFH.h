// FdToObjectStoreFH: the process-wide table from the descriptor numbers the
// module hands to the host to the object store's open files.
//
// Thread safety: every operation takes fileHandleMapCS for its whole run and
// does nothing else under it than the table access and a pointer copy.
// The table shares ownership: an open file lives while its descriptor is in it.
#pragma once
#include <boost/shared_ptr.hpp>
#include <boost/unordered_map.hpp>

#include "objectstore/ObjectStoreTypes.h"
#include "platform/ZelCriticalSection.h"

class FdToObjectStoreFH {
public:
    FdToObjectStoreFH() = delete;

    // Sets the descriptor's entry, replacing an earlier one. Always true.
    static bool Add(int fd, boost::shared_ptr<ObjectStore::FileHandle> fh);
    // Erases the descriptor's entry if there is one. Always true.
    static bool Remove(int fd);
    // Empties fh, then shares the descriptor's file when it has an entry.
    // True when found.
    static bool find(int fd, boost::shared_ptr<ObjectStore::FileHandle>& fh);

    static boost::unordered_map<unsigned int, boost::shared_ptr<ObjectStore::FileHandle>>
        fdTofhMap;  // guarded by fileHandleMapCS
    static ZelCriticalSection fileHandleMapCS;
};
