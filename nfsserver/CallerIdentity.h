// Who sent a call: the AUTH_SYS ids (or none) and the peer's address, with the
// export's squash rules applied. Owns its group list, so the IdInfo it hands
// to backend contexts stays valid as long as this object.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "host/Export.h"
#include "host/QuayCtxt.h"

class CallerIdentity {
public:
    // Anonymous caller (AUTH_NONE): takes the export's anonymous ids on Squash.
    explicit CallerIdentity(std::string address);
    CallerIdentity(std::string address, uint32_t uid, uint32_t gid, std::vector<uint32_t> groups);
    CallerIdentity(const CallerIdentity& other);
    CallerIdentity& operator=(const CallerIdentity&) = delete;

    // Applies the export's squash type and anonymous ids to the ids.
    void Squash(Export& exp);

    // True when other is the same caller: address, ids and group list.
    bool SameAs(const CallerIdentity& other) const;

    const IdInfo& Ids() const { return ids_; }
    const std::string& Address() const { return address_; }
    bool Anonymous() const { return anonymous_; }

private:
    void Relink();

    std::string address_;
    bool anonymous_;
    std::vector<uint32_t> groups_;
    IdInfo ids_;  // groups points into groups_
};
