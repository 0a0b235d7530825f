// MessageCache: the configuration client's cache of what it read, keyed by
// (subclient, property name), plus the subclient records that lookup loaded.
// On at start; EnableAppMgrClientMessageCache(false) empties and disables it,
// (true) enables it again. Writes through Subclient update it; writes made
// directly in the database are seen only once the entry is dropped.
//
// Thread-safe. A read that raced with a write or a flush is not stored
// (epoch check), so the cache never goes back to a value older than one
// written through the client.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "configclient/SubclientRecord.h"

class MessageCache {
public:
    // Entries beyond this drop the whole cache: it stays small and simple.
    static constexpr size_t kMaxEntries = 4096;

    // Never destroyed, like the database instance.
    static MessageCache& Instance();

    MessageCache(const MessageCache&) = delete;
    MessageCache& operator=(const MessageCache&) = delete;

    void SetEnabled(bool enable);
    bool Enabled() const;
    // Empties the cache without changing whether it is enabled.
    void Drop();

    // Take Epoch() before reading the database, pass it to Put*: the value is
    // stored only when the cache is enabled and nothing changed meanwhile.
    uint64_t Epoch() const;
    bool GetProperty(unsigned long subclientId, const std::string& name, std::string& value) const;
    void PutProperty(unsigned long subclientId, const std::string& name, const std::string& value,
                     uint64_t epoch);
    bool GetSubclient(unsigned long subclientId, SubclientRecord& record) const;
    void PutSubclient(const SubclientRecord& record, uint64_t epoch);

    // Runs write (a database write returning a status) so that writes through
    // the client are ordered, then stores value when the write returned 0.
    int WriteProperty(unsigned long subclientId, const std::string& name, const std::string& value,
                      const std::function<int()>& write);

private:
    MessageCache() = default;
    ~MessageCache() = default;
    // Requires mutex_.
    void MakeRoom();

    std::mutex writeMutex_;  // orders client writes; taken before mutex_, never inside it
    mutable std::mutex mutex_;
    bool enabled_ = true;    // guarded by mutex_
    uint64_t epoch_ = 0;     // guarded by mutex_; bumped by every write and drop
    std::map<std::pair<unsigned long, std::string>, std::string> properties_;  // guarded by mutex_
    std::map<unsigned long, SubclientRecord> subclients_;                     // guarded by mutex_
};
