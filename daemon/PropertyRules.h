// PropertyRules: which subclient properties quayadm may set, and the form of
// each value (configclient/FORMAT.md). A value is checked before it reaches
// the database, so a typo is refused instead of silently turning into a
// default when the module reads it. Stateless and thread-safe.
#pragma once
#include <string>
#include <vector>

class PropertyRules {
public:
    // A retention window of a century is all history in practice.
    static constexpr unsigned kMaxRetentionDays = 36500;

    // Checks value for the property and gives the text to store. Bools are
    // stored "1"/"0"; a store name loses its leading "/"; a squash type may
    // be given by name (no_root_squash, root_squash, all_squash); the
    // protocols property takes a list such as "nfsv3,nfsv4,smb" and stores
    // the serialised protocols message.
    // False with a reason for an unknown property or a malformed value.
    static bool Prepare(const std::string& name, const std::string& value, std::string& stored,
                        std::string& error);
    // The properties quayadm knows, in a stable order.
    static std::vector<std::string> KnownNames();
    // The text a user reads for a stored value: the protocols message as a
    // list ("nfsv3,nfsv4"); every other value as stored.
    static std::string Describe(const std::string& name, const std::string& stored);

    // "nfsv3,nfsv4,smb" to the serialised message; false for another entry.
    static bool EncodeProtocols(const std::string& list, std::string& serialised, std::string& error);
    // The serialised message to "nfsv3,nfsv4,smb"; false when it does not read.
    static bool DecodeProtocols(const std::string& serialised, std::string& list);
    // "", "*" or comma-separated decimal ids: the users and groups forms.
    static bool IsIdList(const std::string& value);
    // An allow-list of clients as quayd can match it: not empty, each entry
    // "*", an address, an IPv4 network a.b.c.d/0-32, or a host name that
    // resolves now. False with a reason naming the entry at fault.
    static bool CheckClients(const std::string& value, std::string& error);
    // A store name: letters, digits, '.', '_' and '-', not "." or "..", at
    // most 200 characters (it becomes a share path and a store folder).
    static bool IsValidStoreName(const std::string& name);
};
