#include "daemon/PropertyRules.h"

#include <algorithm>

#include "configclient/AppMessages.h"
#include "configclient/PropertyNames.h"
#include "configclient/PropertyValue.h"
#include "daemon/ViewConfiguration.h"
#include "host/ClientMatcher.h"

namespace {

enum class Kind { kText, kBool, kUInt32, kInt32, kSquash, kIdList, kPermission, kClients, kViews,
                  kProtocols, kStoreName, kServer, kDays };

struct Rule {
    const char* name;
    Kind kind;
};

const Rule kRules[] = {
    {PropertyNames::kObjectStoreName, Kind::kStoreName},
    {PropertyNames::kNFSServers, Kind::kServer},
    {PropertyNames::kAllowedNFSClients, Kind::kClients},
    {PropertyNames::kUsers, Kind::kIdList},
    {PropertyNames::kGroups, Kind::kIdList},
    {PropertyNames::kAccessPermission, Kind::kPermission},
    {PropertyNames::kSquashType, Kind::kSquash},
    {PropertyNames::kAnonUid, Kind::kUInt32},
    {PropertyNames::kAnonGid, Kind::kUInt32},
    {PropertyNames::kCopyPrecedence, Kind::kUInt32},
    {PropertyNames::kACLEnableFlag, Kind::kBool},
    {PropertyNames::kBackupFilter, Kind::kText},
    {PropertyNames::kSupportDNFS, Kind::kBool},
    {PropertyNames::kIsCaseSensitive, Kind::kBool},
    {PropertyNames::kVersionInterval, Kind::kInt32},
    {PropertyNames::kVersionSupportNeeded, Kind::kBool},
    {PropertyNames::kSupportedProtocols, Kind::kProtocols},
    {PropertyNames::kViewConfiguration, Kind::kViews},
    {PropertyNames::kConfigOperationInProgress, Kind::kBool},
    {PropertyNames::kRetentionDays, Kind::kDays},
};

const Rule* FindRule(const std::string& name) {
    for (const Rule& rule : kRules) {
        if (name == rule.name) return &rule;
    }
    return nullptr;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        pieces.push_back(Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos) return pieces;
        start = comma + 1;
    }
}

bool AreViewRecords(const std::string& value, std::string& error);

// Every record needs a mount path, and says who may use the view: a record
// without NFSClient, UID or GID would admit everybody.
bool AreViewRecords(const std::string& value, std::string& error) {
    if (value.find('\0') != std::string::npos) {
        error = "must not contain NUL bytes";
        return false;
    }
    ViewConfiguration views(value);
    for (const std::string& record : views.records()) {
        std::string mount;
        std::string clients;
        std::string users;
        std::string groups;
        if (!ViewConfiguration::Element(record, "MntPath", mount) || mount.empty()) {
            error = "every record needs a <MntPath> element: [" + record + "]";
            return false;
        }
        if (!ViewConfiguration::Element(record, "NFSClient", clients) ||
            !ViewConfiguration::Element(record, "UID", users) || !ViewConfiguration::Element(record, "GID", groups)) {
            error = "every record needs <NFSClient>, <UID> and <GID> elements (add-view fills them in): [" + record +
                    "]";
            return false;
        }
        std::string reason;
        if (!PropertyRules::CheckClients(clients, reason)) {
            error = "view [" + mount + "]: allowed clients " + reason;
            return false;
        }
        if (!PropertyRules::IsIdList(users) || !PropertyRules::IsIdList(groups)) {
            error = "view [" + mount + "]: <UID> and <GID> must be empty, * or comma-separated numeric ids";
            return false;
        }
    }
    return true;
}

bool PrepareSquash(const std::string& value, std::string& stored) {
    ZELQUAYSquashType type = ZEL_QUAY_NO_ROOT_SQUASH;
    if (value == "no_root_squash") {
        type = ZEL_QUAY_NO_ROOT_SQUASH;
    } else if (value == "root_squash") {
        type = ZEL_QUAY_ROOT_SQUASH;
    } else if (value == "all_squash") {
        type = ZEL_QUAY_ALL_SQUASH;
    } else if (!PropertyValue::ParseSquashType(value, type)) {
        return false;
    }
    stored = std::to_string(static_cast<int>(type));
    return true;
}

bool PrepareByKind(Kind kind, const std::string& value, std::string& stored, std::string& error) {
    stored = value;
    bool flag = false;
    unsigned int unsignedValue = 0;
    int signedValue = 0;
    switch (kind) {
        case Kind::kText: return true;
        case Kind::kServer:
            error = "must be a server name without blanks";
            return !value.empty() && value.find_first_of(" \t,") == std::string::npos;
        case Kind::kStoreName:
            // Stored without the leading "/" that the share path adds.
            stored = value.substr(std::min(value.find_first_not_of('/'), value.size()));
            error = "must be a store name of letters, digits, '.', '_' and '-'";
            return PropertyRules::IsValidStoreName(stored);
        case Kind::kBool:
            error = "must be 1, 0, true or false";
            if (!PropertyValue::ParseBool(value, flag)) return false;
            stored = PropertyValue::FormatBool(flag);
            return true;
        case Kind::kUInt32:
            error = "must be a number from 0 to 4294967295";
            return PropertyValue::ParseUInt32(value, unsignedValue);
        case Kind::kInt32:
            error = "must be a number of minutes from 0 to 2147483647";
            return PropertyValue::ParseInt32(value, signedValue) && signedValue >= 0;
        case Kind::kDays:
            error = "must be a number of days from 0 to " + std::to_string(PropertyRules::kMaxRetentionDays);
            return PropertyValue::ParseUInt32(value, unsignedValue) && unsignedValue <= PropertyRules::kMaxRetentionDays;
        case Kind::kSquash:
            error = "must be 0, 1, 2, no_root_squash, root_squash or all_squash";
            return PrepareSquash(value, stored);
        case Kind::kIdList:
            error = "must be empty, * or a comma-separated list of numeric ids";
            return PropertyRules::IsIdList(value);
        case Kind::kPermission:
            error = "must be RW, RO, 0 or 1";
            return value == "RW" || value == "RO" || value == "0" || value == "1";
        case Kind::kClients: return PropertyRules::CheckClients(value, error);
        case Kind::kViews: return AreViewRecords(value, error);
        case Kind::kProtocols: return PropertyRules::EncodeProtocols(value, stored, error);
    }
    return false;
}

}  // namespace

bool PropertyRules::Prepare(const std::string& name, const std::string& value, std::string& stored,
                            std::string& error) {
    const Rule* rule = FindRule(name);
    if (rule == nullptr) {
        error = "unknown property [" + name + "]; known:";
        for (const std::string& known : KnownNames()) error += " " + known;
        return false;
    }
    std::string result;
    std::string reason;
    if (!PrepareByKind(rule->kind, value, result, reason)) {
        // The allow-list's reasons name the entry at fault themselves.
        error = "property " + name + " " + reason + (rule->kind == Kind::kClients ? "" : ", not [" + value + "]");
        return false;
    }
    stored = result;
    return true;
}

std::vector<std::string> PropertyRules::KnownNames() {
    std::vector<std::string> names;
    for (const Rule& rule : kRules) names.push_back(rule.name);
    return names;
}

std::string PropertyRules::Describe(const std::string& name, const std::string& stored) {
    std::string list;
    if (name == PropertyNames::kSupportedProtocols && DecodeProtocols(stored, list)) return list;
    return stored;
}

bool PropertyRules::EncodeProtocols(const std::string& list, std::string& serialised, std::string& error) {
    App::MossgateProtocols message;
    std::vector<int>* types = message.getlistint(1, 1, App::MossgateProtocols::kProtocolGroup,
                                                 App::MossgateProtocols::kProtocolTypes, true);
    const std::vector<std::string> pieces = Trim(list).empty() ? std::vector<std::string>() : SplitCommas(list);
    for (const std::string& piece : pieces) {
        if (piece == "nfsv3") {
            types->push_back(App::NFSV3);
        } else if (piece == "nfsv4") {
            types->push_back(App::NFSV4);
        } else if (piece == "smb") {
            types->push_back(App::SMB);
        } else {
            error = "must list nfsv3, nfsv4 and smb separated by commas";
            return false;
        }
    }
    message.serializeUnicode(serialised);
    return true;
}

bool PropertyRules::DecodeProtocols(const std::string& serialised, std::string& list) {
    App::MossgateProtocols message;
    if (message.unserialize(serialised) != CNMessageBase::MSG_OK) return false;
    std::vector<int>* types = message.getlistint(1, 1, App::MossgateProtocols::kProtocolGroup,
                                                 App::MossgateProtocols::kProtocolTypes, false);
    if (types == nullptr) return false;
    std::string out;
    for (int type : *types) {
        if (!out.empty()) out += ',';
        out += type == App::NFSV3 ? "nfsv3" : type == App::NFSV4 ? "nfsv4" : type == App::SMB ? "smb"
                                                                                           : std::to_string(type);
    }
    list = out;
    return true;
}

bool PropertyRules::IsIdList(const std::string& value) {
    if (value.empty() || value == "*") return true;
    for (const std::string& piece : SplitCommas(value)) {
        unsigned int id = 0;
        if (!PropertyValue::ParseUInt32(piece, id)) return false;
    }
    return true;
}

bool PropertyRules::CheckClients(const std::string& value, std::string& error) {
    const std::vector<std::string> entries = ClientMatcher::SplitList(value);
    if (entries.empty()) {
        error = "must not be empty: use * for every client";
        return false;
    }
    for (const std::string& entry : entries) {
        switch (ClientMatcher::Classify(entry)) {
            case ClientMatcher::EntryKind::kEveryone:
            case ClientMatcher::EntryKind::kAddress:
            case ClientMatcher::EntryKind::kNetwork: break;
            case ClientMatcher::EntryKind::kHostName:
                if (ClientMatcher::Resolve(entry).empty()) {
                    error = "names host [" + entry + "], which does not resolve";
                    return false;
                }
                break;
            case ClientMatcher::EntryKind::kMalformed:
                error = "has [" + entry + "], which is neither *, an address, an IPv4 network a.b.c.d/0-32 nor a host name";
                return false;
        }
    }
    return true;
}

bool PropertyRules::IsValidStoreName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name == "." || name == "..") return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}
