// The smb.conf section of one share, as the host writes it to
// <data dir>/samba/share_<share id>.conf:
//
//   [backups_store1]
//       path = /backups/store1
//       read only = no
//
// The share name is the path without its leading "/", each "/" and each
// character Samba does not take in a name replaced by "_" ("root" for "/"),
// so two shares never get one name.
#pragma once
#include <string>

#include "host/Export.h"

class SambaShareConfig {
public:
    // Renders the section for exp. 0, or EINVAL when the path is not absolute
    // or holds control characters (they would break the file).
    static int Render(Export& exp, std::string& text);
    static std::string ShareName(const std::string& path);
    static std::string Dir(const std::string& dataDir);
    static std::string FilePath(const std::string& dataDir, unsigned int shareId);
    // The "path = " value of a rendered section; empty when there is none.
    static std::string PathOf(const std::string& text);
};
