// The NFS-Ganesha EXPORT block of one share, as the host writes it to
// <data dir>/ganesha/export_<share id>.conf:
//
//   EXPORT
//   {
//       Export_Id = 7;
//       Path = "/store";
//       Pseudo = "/store";
//       Access_Type = RW;            # RO for read-only shares; None when only
//                                    # the listed clients may mount
//       Squash = No_Root_Squash;     # Root_Squash, All_Squash
//       Anonymous_Uid = 65534;
//       Anonymous_Gid = 65534;
//       Protocols = 3, 4;
//       CLIENT
//       {
//           Clients = 10.0.0.0/8, host1, 127.0.0.1;   # "*" for every client
//           Access_Type = RW;
//       }
//   }
//
// 127.0.0.1 is listed while the share is also served over SMB: Samba reaches
// the share through the local NFS server.
#pragma once
#include <string>

#include "host/Export.h"

class GaneshaExportConfig {
public:
    // Ganesha keeps export ids in 16 bits.
    static constexpr unsigned int kMaxExportId = 65535;

    // Renders the block for exp into text. 0, or EINVAL when the path or a
    // client entry would break the file's syntax (nothing is rendered then),
    // ERANGE when the share id does not fit an export id.
    static int Render(Export& exp, std::string& text);
    static std::string FilePath(const std::string& dataDir, unsigned int shareId);
};
