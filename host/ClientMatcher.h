// Matching of NFS client addresses against an export's allowed-client
// entries. An entry is "*", a numeric address (IPv4 or IPv6), an IPv4
// network "a.b.c.d/n", or a host name (shell wildcards allowed, compared
// without regard to case). Stateless and thread-safe.
#pragma once
#include <string>
#include <vector>

class ClientMatcher {
public:
    // Splits a comma-separated list into trimmed, non-empty entries, keeping
    // the first of any duplicates.
    static std::vector<std::string> SplitList(const std::string& clients);

    // True when the entry admits the client at `address` (numeric text) or
    // called `host` (may be empty). An IPv4 address written as an IPv4-mapped
    // IPv6 address matches IPv4 entries. A malformed network never matches.
    static bool Matches(const std::string& entry, const std::string& address,
                        const std::string& host);

    // True when the entry holds only characters that can appear in an
    // address, network or host name, so it is safe to copy into a server
    // configuration file.
    static bool IsWellFormed(const std::string& entry);
};
