#include "host/SambaShareConfig.h"

#include <cctype>
#include <cerrno>
#include <sstream>

#include "host/HostLog.h"

namespace {

const char kPathKey[] = "\tpath = ";

bool IsShareNameChar(unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.';
}

}  // namespace

int SambaShareConfig::Render(Export& exp, std::string& text) {
    const std::string& path = exp.GetPath();
    bool clean = !path.empty() && path[0] == '/';
    for (unsigned char c : path) clean = clean && std::iscntrl(c) == 0;
    if (!clean) {
        HOST_LOG(-1, "ERROR: Share path [%s] cannot be written to a Samba share", path.c_str());
        return EINVAL;
    }
    std::ostringstream out;
    out << "[" << ShareName(path) << "]\n"
        << kPathKey << path << "\n"
        << "\tread only = " << (exp.GetSharePerms() == SHARE_PERM_READ_WRITE ? "no" : "yes")
        << "\n";
    text = out.str();
    return 0;
}

std::string SambaShareConfig::ShareName(const std::string& path) {
    std::string::size_type first = path.find_first_not_of('/');
    if (first == std::string::npos) return "root";
    std::string name = path.substr(first);
    while (!name.empty() && name.back() == '/') name.pop_back();
    for (char& c : name) {
        if (!IsShareNameChar(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

std::string SambaShareConfig::Dir(const std::string& dataDir) { return dataDir + "/samba"; }

std::string SambaShareConfig::FilePath(const std::string& dataDir, unsigned int shareId) {
    return Dir(dataDir) + "/share_" + std::to_string(shareId) + ".conf";
}

std::string SambaShareConfig::PathOf(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    const std::string key = kPathKey;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
    }
    return std::string();
}
