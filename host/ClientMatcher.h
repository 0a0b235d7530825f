// Matching of NFS client addresses against an export's allowed-client
// entries. An entry is "*", a numeric address (IPv4 or IPv6), an IPv4
// network "a.b.c.d/n", or a host name (shell wildcards allowed, compared
// without regard to case). The NFS service knows its clients by address
// only: a host name admits the addresses it resolved to (Resolve, when the
// export's list is set). Stateless and thread-safe.
#pragma once
#include <string>
#include <vector>

class ClientMatcher {
public:
    enum class EntryKind {
        kEveryone,  // "*"
        kAddress,   // numeric IPv4 or IPv6 address
        kNetwork,   // IPv4 network a.b.c.d/n, n from 0 to 32
        kHostName,  // letters, digits, '.', '-' and '_', not all digits and dots
        kMalformed  // anything else: a bad prefix, an IPv6 network, wildcards, blanks
    };
    static EntryKind Classify(const std::string& entry);

    // The numeric addresses the host name resolves to (IPv4 and IPv6, in
    // the resolver's order, without duplicates); empty when it does not
    // resolve. May block on the resolver.
    static std::vector<std::string> Resolve(const std::string& name);

    // Splits a comma-separated list into trimmed, non-empty entries, keeping
    // the first of any duplicates.
    static std::vector<std::string> SplitList(const std::string& clients);

    // True when the entry admits the client at `address` (numeric text) or
    // called `host` (may be empty). An IPv4 address written as an IPv4-mapped
    // IPv6 address matches IPv4 entries. A malformed network never matches.
    static bool Matches(const std::string& entry, const std::string& address,
                        const std::string& host);
    // True when one of a host name's resolved addresses is the client's.
    static bool MatchesAny(const std::vector<std::string>& resolved, const std::string& address);

    // True when the entry holds only characters that can appear in an
    // address, network or host name, so it is safe to copy into a server
    // configuration file.
    static bool IsWellFormed(const std::string& entry);
};
