// LruCache: a bounded, sharded least-recently-used map. Each shard has its own
// mutex, so look-ups on different keys rarely contend. A capacity of 0 keeps
// nothing. Invalidate() bumps a generation so that a value read from the
// database before a change cannot be put back after it (PutIfCurrent).
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace ObjectStore {

template <typename K, typename V, typename Hash = std::hash<K>>
class LruCache {
public:
    explicit LruCache(size_t capacity) : perShard_(capacity / kShards + (capacity % kShards ? 1 : 0)) {}
    LruCache(const LruCache&) = delete;
    LruCache& operator=(const LruCache&) = delete;

    // Generation to pass to PutIfCurrent; take it before reading the source.
    uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }

    bool Get(const K& key, V& out) {
        if (perShard_ == 0) return false;
        Shard& s = ShardOf(key);
        std::lock_guard<std::mutex> guard(s.mutex);
        auto it = s.index.find(key);
        if (it == s.index.end()) return false;
        s.order.splice(s.order.begin(), s.order, it->second);
        out = it->second->second;
        return true;
    }

    // Stores the value unless anything was invalidated since `generation`.
    void PutIfCurrent(const K& key, const V& value, uint64_t generation) {
        if (perShard_ == 0) return;
        Shard& s = ShardOf(key);
        std::lock_guard<std::mutex> guard(s.mutex);
        if (generation_.load(std::memory_order_acquire) != generation) return;
        auto it = s.index.find(key);
        if (it != s.index.end()) {
            it->second->second = value;
            s.order.splice(s.order.begin(), s.order, it->second);
            return;
        }
        s.order.emplace_front(key, value);
        s.index[key] = s.order.begin();
        if (s.order.size() > perShard_) {
            s.index.erase(s.order.back().first);
            s.order.pop_back();
        }
    }

    void Invalidate(const K& key) {
        Shard& s = ShardOf(key);
        std::lock_guard<std::mutex> guard(s.mutex);
        generation_.fetch_add(1, std::memory_order_acq_rel);
        auto it = s.index.find(key);
        if (it == s.index.end()) return;
        s.order.erase(it->second);
        s.index.erase(it);
    }

    void Clear() {
        for (Shard& s : shards_) {
            std::lock_guard<std::mutex> guard(s.mutex);
            generation_.fetch_add(1, std::memory_order_acq_rel);
            s.index.clear();
            s.order.clear();
        }
    }

private:
    static constexpr size_t kShards = 16;
    struct Shard {
        std::mutex mutex;
        std::list<std::pair<K, V>> order;  // guarded by mutex; most recent first
        std::unordered_map<K, typename std::list<std::pair<K, V>>::iterator, Hash> index;  // guarded by mutex
    };
    Shard& ShardOf(const K& key) { return shards_[Hash()(key) % kShards]; }

    size_t perShard_;
    std::atomic<uint64_t> generation_{0};
    Shard shards_[kShards];
};

}  // namespace ObjectStore
