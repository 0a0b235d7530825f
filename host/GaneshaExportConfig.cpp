#include "host/GaneshaExportConfig.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <sstream>
#include <vector>

#include "host/ClientMatcher.h"
#include "host/HostLog.h"

namespace {

const char* SquashName(ZELQUAYSquashType type) {
    switch (type) {
        case ZEL_QUAY_ROOT_SQUASH: return "Root_Squash";
        case ZEL_QUAY_ALL_SQUASH: return "All_Squash";
        default: return "No_Root_Squash";
    }
}

// "3,4", "nfsv3,nfsv4", "4" -> "3, 4" / "4". Without a known version, both.
std::string ProtocolList(const std::string& versions) {
    bool v3 = false;
    bool v4 = false;
    size_t start = 0;
    while (start < versions.size()) {
        size_t end = versions.find_first_of(", ;", start);
        if (end == std::string::npos) end = versions.size();
        std::string token = versions.substr(start, end - start);
        size_t digit = token.find_first_of("0123456789");
        if (digit != std::string::npos) {
            v3 = v3 || token[digit] == '3';
            v4 = v4 || token[digit] == '4';
        }
        start = end + 1;
    }
    if (v3 && !v4) return "3";
    if (v4 && !v3) return "4";
    return "3, 4";
}

// A quoted Ganesha string may hold neither quotes, backslashes nor control characters.
bool IsQuotable(const std::string& text) {
    for (unsigned char c : text) {
        if (c == '"' || c == '\\' || std::iscntrl(c) != 0) return false;
    }
    return true;
}

}  // namespace

int GaneshaExportConfig::Render(Export& exp, std::string& text) {
    const std::string& path = exp.GetPath();
    if (path.empty() || path[0] != '/' || !IsQuotable(path)) {
        HOST_LOG(-1, "ERROR: Share path [%s] cannot be written to a Ganesha export", path.c_str());
        return EINVAL;
    }
    if (exp.GetShareId() == 0 || exp.GetShareId() > kMaxExportId) {
        HOST_LOG(-1, "ERROR: Share ID [%u] of [%s] is not a valid Ganesha export id",
                 exp.GetShareId(), path.c_str());
        return ERANGE;
    }
    std::string listed;
    exp.GetAllowedClients(listed);
    std::vector<std::string> clients = ClientMatcher::SplitList(listed);
    for (const std::string& client : clients) {
        if (!ClientMatcher::IsWellFormed(client)) {
            HOST_LOG(-1, "ERROR: Allowed client [%s] of [%s] is malformed", client.c_str(),
                     path.c_str());
            return EINVAL;
        }
    }
    // An empty list admits every client, like "*".
    bool open = clients.empty();
    for (const std::string& client : clients) open = open || client == "*";
    if (clients.empty()) clients.push_back("*");
    if (exp.GetSMBEnabled() &&
        std::find(clients.begin(), clients.end(), "127.0.0.1") == clients.end()) {
        clients.push_back("127.0.0.1");
    }
    std::string clientText;
    for (size_t i = 0; i < clients.size(); ++i) clientText += (i == 0 ? "" : ", ") + clients[i];

    const char* access = exp.GetSharePerms() == SHARE_PERM_READ_WRITE ? "RW" : "RO";
    std::ostringstream out;
    out << "EXPORT\n{\n"
        << "\tExport_Id = " << exp.GetShareId() << ";\n"
        << "\tPath = \"" << path << "\";\n"
        << "\tPseudo = \"" << path << "\";\n"
        << "\tAccess_Type = " << (open ? access : "None") << ";\n"
        << "\tSquash = " << SquashName(exp.GetSquashingType()) << ";\n"
        << "\tAnonymous_Uid = " << exp.GetAnonUid() << ";\n"
        << "\tAnonymous_Gid = " << exp.GetAnonGid() << ";\n"
        << "\tProtocols = " << ProtocolList(exp.GetNfsVersions()) << ";\n"
        << "\tCLIENT\n\t{\n"
        << "\t\tClients = " << clientText << ";\n"
        << "\t\tAccess_Type = " << access << ";\n"
        << "\t}\n}\n";
    text = out.str();
    return 0;
}

std::string GaneshaExportConfig::FilePath(const std::string& dataDir, unsigned int shareId) {
    return dataDir + "/ganesha/export_" + std::to_string(shareId) + ".conf";
}
