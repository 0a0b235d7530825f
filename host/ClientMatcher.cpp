#include "host/ClientMatcher.h"

#include <arpa/inet.h>
#include <fnmatch.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// A parsed numeric address; IPv4-mapped IPv6 addresses become IPv4.
struct Address {
    bool valid = false;
    bool v4 = false;
    uint32_t v4Bits = 0;  // host byte order
    unsigned char v6[16] = {};
};

Address ParseAddress(const std::string& text) {
    Address result;
    struct in_addr a4;
    struct in6_addr a6;
    if (inet_pton(AF_INET, text.c_str(), &a4) == 1) {
        result.valid = result.v4 = true;
        result.v4Bits = ntohl(a4.s_addr);
    } else if (inet_pton(AF_INET6, text.c_str(), &a6) == 1) {
        result.valid = true;
        if (IN6_IS_ADDR_V4MAPPED(&a6)) {
            result.v4 = true;
            uint32_t bits;
            memcpy(&bits, &a6.s6_addr[12], 4);
            result.v4Bits = ntohl(bits);
        } else {
            memcpy(result.v6, a6.s6_addr, 16);
        }
    }
    return result;
}

bool SameAddress(const Address& a, const Address& b) {
    if (!a.valid || !b.valid || a.v4 != b.v4) return false;
    return a.v4 ? a.v4Bits == b.v4Bits : memcmp(a.v6, b.v6, 16) == 0;
}

// "a.b.c.d/n" with n from 0 to 32. False for anything else.
bool ParseNetwork(const std::string& entry, uint32_t& network, uint32_t& mask) {
    size_t slash = entry.find('/');
    if (slash == std::string::npos) return false;
    std::string prefixText = entry.substr(slash + 1);
    if (prefixText.empty() || prefixText.size() > 2 ||
        !std::all_of(prefixText.begin(), prefixText.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return false;
    }
    int prefix = std::stoi(prefixText);
    if (prefix > 32) return false;
    struct in_addr a4;
    if (inet_pton(AF_INET, entry.substr(0, slash).c_str(), &a4) != 1) return false;
    mask = prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix);
    network = ntohl(a4.s_addr) & mask;
    return true;
}

bool IsHostNameChar(unsigned char c) {
    return std::isalnum(c) != 0 || c == '.' || c == '-' || c == '_' || c == ':' || c == '/' ||
           c == '*' || c == '?' || c == '%';
}

bool IsPlainHostNameChar(unsigned char c) {
    return std::isalnum(c) != 0 || c == '.' || c == '-' || c == '_';
}

}  // namespace

ClientMatcher::EntryKind ClientMatcher::Classify(const std::string& entry) {
    if (entry == "*") return EntryKind::kEveryone;
    if (entry.find('/') != std::string::npos) {
        uint32_t network = 0;
        uint32_t mask = 0;
        return ParseNetwork(entry, network, mask) ? EntryKind::kNetwork : EntryKind::kMalformed;
    }
    if (ParseAddress(entry).valid) return EntryKind::kAddress;
    const bool plain = !entry.empty() && entry.size() <= 253 &&
                       std::all_of(entry.begin(), entry.end(), [](unsigned char c) { return IsPlainHostNameChar(c); });
    // "10.0.0.256" is a typo of an address, not a name.
    const bool numeric = entry.find_first_not_of("0123456789.") == std::string::npos;
    return plain && !numeric ? EntryKind::kHostName : EntryKind::kMalformed;
}

std::vector<std::string> ClientMatcher::Resolve(const std::string& name) {
    std::vector<std::string> addresses;
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return addresses;
    for (const addrinfo* info = found; info != nullptr; info = info->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* raw = nullptr;
        if (info->ai_family == AF_INET) raw = &reinterpret_cast<const sockaddr_in*>(info->ai_addr)->sin_addr;
        if (info->ai_family == AF_INET6) raw = &reinterpret_cast<const sockaddr_in6*>(info->ai_addr)->sin6_addr;
        if (raw == nullptr || inet_ntop(info->ai_family, raw, text, sizeof(text)) == nullptr) continue;
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.push_back(text);
    }
    freeaddrinfo(found);
    return addresses;
}

bool ClientMatcher::MatchesAny(const std::vector<std::string>& resolved, const std::string& address) {
    const Address client = ParseAddress(address);
    for (const std::string& text : resolved) {
        if (SameAddress(ParseAddress(text), client)) return true;
    }
    return false;
}

std::vector<std::string> ClientMatcher::SplitList(const std::string& clients) {
    std::vector<std::string> entries;
    size_t start = 0;
    while (start <= clients.size()) {
        size_t comma = clients.find(',', start);
        if (comma == std::string::npos) comma = clients.size();
        std::string entry = Trim(clients.substr(start, comma - start));
        if (!entry.empty() && std::find(entries.begin(), entries.end(), entry) == entries.end()) {
            entries.push_back(entry);
        }
        start = comma + 1;
    }
    return entries;
}

bool ClientMatcher::Matches(const std::string& entry, const std::string& address,
                            const std::string& host) {
    if (entry == "*") return true;
    Address client = ParseAddress(address);
    if (entry.find('/') != std::string::npos) {
        uint32_t network = 0;
        uint32_t mask = 0;
        return client.valid && client.v4 && ParseNetwork(entry, network, mask) &&
               (client.v4Bits & mask) == network;
    }
    Address listed = ParseAddress(entry);
    if (listed.valid) return SameAddress(listed, client);
    // A host name, possibly with wildcards.
    return !host.empty() && fnmatch(entry.c_str(), host.c_str(), FNM_CASEFOLD) == 0;
}

bool ClientMatcher::IsWellFormed(const std::string& entry) {
    return !entry.empty() && std::all_of(entry.begin(), entry.end(),
                                         [](unsigned char c) { return IsHostNameChar(c); });
}
