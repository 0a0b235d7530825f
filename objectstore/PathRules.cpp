#include "objectstore/PathRules.h"

#include <cerrno>

#include "objectstore/ObjectStoreTypes.h"
#include "objectstore/StoreFailure.h"
#include "objectstore/StoreFormat.h"

namespace ObjectStore {

void CheckEntryName(const std::string& name) {
    if (name.empty()) Fail(EINVAL, "empty name");
    if (name.find('/') != std::string::npos) Fail(EINVAL, "name holds '/'");
    if (name.find('\0') != std::string::npos) Fail(EINVAL, "name holds a zero byte");
    if (name == "." || name == "..") Fail(EINVAL, "name is . or ..");
    if (name.size() > kMaxNameBytes) Fail(ENAMETOOLONG, "name longer than 255 bytes");
}

std::vector<std::string> SplitStorePath(const std::string& path, uint32_t maxPath) {
    if (path.empty() || path[0] != '/') Fail(EINVAL, "path is not absolute");
    if (path.size() > maxPath) Fail(ENAMETOOLONG, "path longer than maxPath");
    if (path.find('\0') != std::string::npos) Fail(EINVAL, "path holds a zero byte");
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        if (part.size() > kMaxNameBytes) Fail(ENAMETOOLONG, "path component longer than 255 bytes");
        parts.push_back(std::move(part));
    }
    return parts;
}

std::string JoinStorePath(const std::vector<std::string>& parts) {
    if (parts.empty()) return "/";
    std::string out;
    for (const std::string& part : parts) out += "/" + part;
    return out;
}

std::string FoldName(const std::string& name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string StoreFolderName(const std::string& storePath) {
    if (storePath.empty() || storePath[0] != '/') Fail(EINVAL, "store path is not absolute");
    if (storePath.find('\0') != std::string::npos) Fail(EINVAL, "store path holds a zero byte");
    size_t pos = 0;
    while (pos <= storePath.size()) {
        size_t end = storePath.find('/', pos);
        if (end == std::string::npos) end = storePath.size();
        if (storePath.compare(pos, end - pos, "..") == 0 && end - pos == 2)
            Fail(EINVAL, "store path holds ..");
        pos = end + 1;
    }
    size_t last = storePath.find_last_not_of('/');
    std::string out;
    for (size_t i = 1; last != std::string::npos && i <= last; ++i) {
        char c = storePath[i];
        if (c == '%') out += "%25";
        else if (c == '/') out += "%2F";
        else out += c;
    }
    if (out.empty() || out == ".") Fail(EINVAL, "store path names no store");
    if (out.size() > kMaxNameBytes) Fail(ENAMETOOLONG, "store path too long for a folder name");
    return out;
}

bool IsGuidText(const std::string& guid) {
    if (guid.size() != kGuidLength) return false;
    for (char c : guid) {
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
    }
    return true;
}

}  // namespace ObjectStore

#include <sys/stat.h>

namespace ObjectStore {

int MakeFolders(const std::string& path) {
    if (path.empty()) return EINVAL;
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string prefix = path.substr(0, pos);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

std::string EscapeFileName(const std::string& text) {
    if (text.empty()) return "%";
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

}  // namespace ObjectStore
