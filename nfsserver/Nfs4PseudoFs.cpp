#include "nfsserver/Nfs4PseudoFs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "host/ExportCache.h"
#include "nfsserver/ExportVersions.h"

namespace {

constexpr char kMagic[4] = {'Q', 'P', 'F', 'S'};

uint64_t Hash(const std::string& text) {
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

// The shares this client sees over NFSv4.
std::vector<ExportPtr> Visible(const std::string& client) {
    std::vector<ExportPtr> shares;
    if (gAllExports == nullptr) return shares;
    for (const ExportPtr& exp : gAllExports->List()) {
        if (exp && ExportVersions::Serves(*exp, 4) && exp->Authorize(ZELIPAddr{client}, "")) shares.push_back(exp);
    }
    return shares;
}

// The rest of path below dir ("" when path is dir itself), or false when
// path is not inside dir.
bool Below(const std::string& dir, const std::string& path, std::string& rest) {
    if (dir == "/") {
        if (path.empty() || path[0] != '/') return false;
        rest = path.substr(1);
        return true;
    }
    if (path == dir) {
        rest.clear();
        return true;
    }
    if (path.compare(0, dir.size(), dir) != 0 || path.size() <= dir.size() || path[dir.size()] != '/') return false;
    rest = path.substr(dir.size() + 1);
    return true;
}

}  // namespace

std::string Nfs4PseudoFs::HandleOf(const std::string& path) {
    std::string handle(kMagic, sizeof(kMagic));
    const uint64_t hash = Hash(path);
    handle.append(reinterpret_cast<const char*>(&hash), sizeof(hash));
    return handle;
}

bool Nfs4PseudoFs::IsPseudoHandle(const unsigned char* data, size_t length) {
    return length == kHandleSize && memcmp(data, kMagic, sizeof(kMagic)) == 0;
}

uint64_t Nfs4PseudoFs::FileId(const std::string& path) {
    // Clear of the store's small inode numbers.
    return Hash(path) | (1ULL << 63);
}

std::string Nfs4PseudoFs::Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string Nfs4PseudoFs::Child(const std::string& path, const std::string& name) {
    return path == "/" ? "/" + name : path + "/" + name;
}

bool Nfs4PseudoFs::ShareAt(const std::string& client, const std::string& path, ExportPtr& share) {
    for (const ExportPtr& exp : Visible(client)) {
        if (exp->GetPath() == path) {
            share = exp;
            return true;
        }
    }
    return false;
}

std::vector<Nfs4PseudoFs::Entry> Nfs4PseudoFs::List(const std::string& client, const std::string& path) {
    std::map<std::string, Entry> entries;
    for (const ExportPtr& exp : Visible(client)) {
        std::string rest;
        if (!Below(path, exp->GetPath(), rest) || rest.empty()) continue;
        const size_t slash = rest.find('/');
        const std::string name = rest.substr(0, slash);
        if (name.empty()) continue;
        Entry& entry = entries[name];
        entry.name = name;
        // A share's root wins over a directory above another share.
        if (slash == std::string::npos) entry.share = exp;
    }
    std::vector<Entry> list;
    for (auto& item : entries) list.push_back(item.second);
    return list;
}

int Nfs4PseudoFs::Lookup(const std::string& client, const std::string& path, const std::string& name,
                         Entry& entry) {
    for (const Entry& candidate : List(client, path)) {
        if (candidate.name == name) {
            entry = candidate;
            return 0;
        }
    }
    return ENOENT;
}

bool Nfs4PseudoFs::Find(const std::string& client, const unsigned char* data, size_t length, std::string& path) {
    if (!IsPseudoHandle(data, length)) return false;
    const std::string handle(reinterpret_cast<const char*>(data), length);
    if (handle == HandleOf("/")) {
        path = "/";
        return true;
    }
    // Every prefix of a visible share's path is a directory of the tree.
    for (const ExportPtr& exp : Visible(client)) {
        const std::string& share = exp->GetPath();
        for (size_t slash = share.find('/', 1); slash != std::string::npos; slash = share.find('/', slash + 1)) {
            const std::string prefix = share.substr(0, slash);
            if (HandleOf(prefix) == handle) {
                path = prefix;
                return true;
            }
        }
    }
    return false;
}
