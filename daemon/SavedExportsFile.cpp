#include "daemon/SavedExportsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "daemon/admin/AdminProtocol.h"
#include "daemon/admin/KeyValueList.h"

constexpr char SavedExportsFile::kFormatName[];
constexpr char SavedExportsFile::kVersion[];
constexpr size_t SavedExportsFile::kMaxFileBytes;

namespace {

constexpr char kFormatKey[] = "format";
constexpr char kVersionKey[] = "version";
constexpr char kExportKey[] = "export";
constexpr char kShareIdKey[] = "shareId";
constexpr char kModuleTypeKey[] = "moduleType";
constexpr char kPermissionKey[] = "permission";
constexpr char kClientsKey[] = "clients";
constexpr char kParamPrefix[] = "param.";
constexpr char kExportTypeParam[] = "param.exportType";

// Collects one record's fields; Finish checks what is required.
class RecordBuilder {
public:
    explicit RecordBuilder(const std::string& path) { saved_.path = path; }

    // False with a reason for a field this record cannot take.
    bool Add(const std::string& key, const std::string& value, std::string& problem) {
        if (!seen_.insert(key).second) {
            problem = "field " + key + " given twice";
            return false;
        }
        unsigned long number = 0;
        if (key == kShareIdKey) {
            if (!AdminProtocol::ParseNumber(value, 0xFFFFFFFFul, number) || number == 0) {
                problem = "share id [" + value + "] is not a number from 1 to 4294967295";
                return false;
            }
            saved_.shareId = static_cast<unsigned int>(number);
        } else if (key == kModuleTypeKey) {
            if (!AdminProtocol::ParseNumber(value, 0x7FFFFFFFul, number)) {
                problem = "module type [" + value + "] is not a number";
                return false;
            }
            saved_.moduleType = static_cast<int>(number);
        } else if (key == kPermissionKey) {
            if (value != "rw" && value != "ro") {
                problem = "permission [" + value + "] is neither rw nor ro";
                return false;
            }
            saved_.perms = value == "ro" ? SHARE_PERM_READ_ONLY : SHARE_PERM_READ_WRITE;
        } else if (key == kClientsKey) {
            saved_.allowedClients = value;
        } else if (key.compare(0, sizeof(kParamPrefix) - 1, kParamPrefix) == 0 && key.size() > sizeof(kParamPrefix) - 1) {
            // The module reads the export type into an enumeration that
            // holds 1 and 2 only; another number must never reach it.
            if (key == kExportTypeParam && value != "1" && value != "2") {
                problem = "export type [" + value + "] is neither 1 (live) nor 2 (pit)";
                return false;
            }
            saved_.params[key.substr(sizeof(kParamPrefix) - 1)] = value;
        } else {
            problem = "unknown field " + key;
            return false;
        }
        return true;
    }

    bool Finish(std::string& problem) {
        for (const char* required : {kShareIdKey, kModuleTypeKey, kPermissionKey}) {
            if (seen_.count(required) == 0) {
                problem = std::string("missing field ") + required;
                return false;
            }
        }
        return true;
    }

    const SavedExport& saved() const { return saved_; }

private:
    SavedExport saved_;
    std::set<std::string> seen_;
};

bool HasHeader(const KeyValueList::Pairs& pairs) {
    return pairs.size() >= 2 && pairs[0].first == kFormatKey && pairs[0].second == SavedExportsFile::kFormatName &&
           pairs[1].first == kVersionKey && pairs[1].second == SavedExportsFile::kVersion;
}

}  // namespace

std::string SavedExportsFile::Format(const std::vector<SavedExport>& exports) {
    KeyValueList list;
    list.Add(kFormatKey, kFormatName);
    list.Add(kVersionKey, kVersion);
    for (const SavedExport& saved : exports) {
        list.Add(kExportKey, saved.path);
        list.Add(kShareIdKey, std::to_string(saved.shareId));
        list.Add(kModuleTypeKey, std::to_string(saved.moduleType));
        list.Add(kPermissionKey, saved.perms == SHARE_PERM_READ_ONLY ? "ro" : "rw");
        list.Add(kClientsKey, saved.allowedClients);
        for (const auto& param : saved.params) {
            // Parameter names become keys; one that cannot be a key is not ours.
            if (KeyValueList::IsValidKey(param.first)) list.Add(kParamPrefix + param.first, param.second);
        }
    }
    return list.Encode();
}

bool SavedExportsFile::Parse(const std::string& text, std::vector<SavedExport>& exports,
                             std::vector<std::string>& problems) {
    KeyValueList list;
    std::string error;
    if (!list.Decode(text, error)) {
        problems.push_back("not a saved exports file: " + error);
        return false;
    }
    const KeyValueList::Pairs& pairs = list.pairs();
    if (!HasHeader(pairs)) {
        problems.push_back(std::string("missing header format=") + kFormatName + ", version=" + kVersion);
        return false;
    }
    std::set<std::string> paths;
    std::set<unsigned int> ids;
    size_t i = 2;
    while (i < pairs.size()) {
        if (pairs[i].first != kExportKey || pairs[i].second.empty()) {
            problems.push_back("expected an export line, found " + pairs[i].first);
            ++i;
            continue;
        }
        RecordBuilder record(pairs[i].second);
        std::string problem;
        bool good = true;
        for (++i; i < pairs.size() && pairs[i].first != kExportKey; ++i) {
            if (good) good = record.Add(pairs[i].first, pairs[i].second, problem);
        }
        if (good) good = record.Finish(problem);
        if (good && paths.count(record.saved().path) != 0) {
            good = false;
            problem = "path saved twice";
        }
        if (good && ids.count(record.saved().shareId) != 0) {
            good = false;
            problem = "share id " + std::to_string(record.saved().shareId) + " saved twice";
        }
        if (!good) {
            problems.push_back("export [" + record.saved().path + "]: " + problem);
            continue;
        }
        paths.insert(record.saved().path);
        ids.insert(record.saved().shareId);
        exports.push_back(record.saved());
    }
    return true;
}

int SavedExportsFile::Read(const std::string& path, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    std::string content;
    char buffer[65536];
    int error = 0;
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = errno;
            break;
        }
        if (got == 0) break;
        if (content.size() + static_cast<size_t>(got) > kMaxFileBytes) {
            error = EFBIG;
            break;
        }
        content.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    if (error == 0) text.swap(content);
    return error;
}

SavedExport SavedExportsFile::FromExport(Export& exp) {
    SavedExport saved;
    saved.path = exp.GetPath();
    saved.shareId = exp.GetShareId();
    saved.moduleType = exp.GetFSModuleType();
    saved.perms = exp.GetSharePerms();
    exp.GetAllowedClients(saved.allowedClients);
    saved.params = exp.GetOptionalParams();
    return saved;
}

ExportPtr SavedExportsFile::ToExport(const SavedExport& saved) {
    ExportPtr noParent;
    ExportPtr exp(new Export(saved.path, saved.perms, saved.allowedClients, saved.shareId, noParent));
    for (const auto& param : saved.params) exp->SetOptionalParam(param.first, param.second);
    return exp;
}
