#include "nfsserver/DuplicateRequestCache.h"

#include <arpa/inet.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "nfsserver/NfsLog.h"
#include "nfsserver/XdrArgs.h"

DuplicateRequestCache::DuplicateRequestCache(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

uint64_t DuplicateRequestCache::Checksum(const void* data, size_t size, uint64_t previous) {
    // FNV-1a: cheap, and only has to tell a retransmission from a new call
    // that happens to reuse the xid.
    uint64_t hash = previous;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

size_t DuplicateRequestCache::KeyHash::operator()(const Key& key) const {
    size_t hash = std::hash<std::string>()(key.client);
    hash = hash * 31 + key.xid;
    hash = hash * 31 + key.procedure;
    return hash ^ static_cast<size_t>(key.checksum);
}

DuplicateRequestCache::Outcome DuplicateRequestCache::Begin(const Key& key, std::vector<char>& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = index_.find(key);
    if (found != index_.end()) {
        lru_.splice(lru_.begin(), lru_, found->second);
        if (!found->second->done) {
            inProgress_.fetch_add(1, std::memory_order_relaxed);
            return Outcome::kInProgress;
        }
        replays_.fetch_add(1, std::memory_order_relaxed);
        reply = found->second->reply;
        return Outcome::kReplay;
    }
    lru_.push_front(Entry{key, false, {}});
    index_.emplace(key, lru_.begin());
    EvictLocked();
    return Outcome::kExecute;
}

void DuplicateRequestCache::Complete(const Key& key, std::vector<char> reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = index_.find(key);
    if (found == index_.end()) return;
    found->second->done = true;
    found->second->reply = std::move(reply);
    EvictLocked();
}

void DuplicateRequestCache::Abandon(const Key& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = index_.find(key);
    if (found == index_.end() || found->second->done) return;
    lru_.erase(found->second);
    index_.erase(found);
}

size_t DuplicateRequestCache::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lru_.size();
}

void DuplicateRequestCache::EvictLocked() {
    // Calls still running stay: dropping them would let their duplicate run.
    // There are at most as many as connections.
    auto it = lru_.end();
    while (lru_.size() > capacity_ && it != lru_.begin()) {
        --it;
        if (!it->done) continue;
        index_.erase(it->key);
        it = lru_.erase(it);
    }
}

namespace {

std::vector<char> Encode(xdrproc_t routine, const void* value) {
    std::vector<char> bytes(xdr_sizeof(routine, const_cast<void*>(value)));
    XDR xdrs;
    xdrmem_create(&xdrs, bytes.data(), static_cast<u_int>(bytes.size()), XDR_ENCODE);
    const bool encoded = (*routine)(&xdrs, const_cast<void*>(value));
    bytes.resize(encoded ? xdr_getpos(&xdrs) : 0);
    xdr_destroy(&xdrs);
    return bytes;
}

// A retransmission comes from the same client with the same xid; the
// checksum only has to tell it from a new call that reuses the xid. The head
// of the arguments (handle, offsets, names, the first bytes of data) and
// their length do that without reading all of a 1 MiB WRITE, which took more
// time than the write itself. (Linux's nfsd checksums 256 bytes.)
constexpr u_int kChecksumHead = 512;

// An encoding stream that only checksums what it is given, so that a 1 MiB
// WRITE needs no copy to be recognised.
struct ChecksumStream {
    uint64_t checksum = DuplicateRequestCache::kChecksumStart;
    u_int position = 0;
};

ChecksumStream& StreamOf(XDR* xdrs) { return *static_cast<ChecksumStream*>(xdrs->x_private); }

bool_t ChecksumPutBytes(XDR* xdrs, const char* data, u_int size) {
    ChecksumStream& stream = StreamOf(xdrs);
    if (stream.position < kChecksumHead) {
        const u_int head = std::min(size, kChecksumHead - stream.position);
        stream.checksum = DuplicateRequestCache::Checksum(data, head, stream.checksum);
    }
    stream.position += size;
    return TRUE;
}

bool_t ChecksumPutLong(XDR* xdrs, const long* value) {
    const uint32_t word = htonl(static_cast<uint32_t>(*value));
    return ChecksumPutBytes(xdrs, reinterpret_cast<const char*>(&word), sizeof(word));
}

bool_t NoGetLong(XDR*, long*) { return FALSE; }
bool_t NoGetBytes(XDR*, char*, u_int) { return FALSE; }
u_int ChecksumPosition(XDR* xdrs) { return StreamOf(xdrs).position; }
bool_t NoSetPosition(XDR*, u_int) { return FALSE; }
int32_t* NoInline(XDR*, u_int) { return nullptr; }  // callers fall back to PutLong
void NoDestroy(XDR*) {}
bool_t NoControl(XDR*, int, void*) { return FALSE; }

const XDR::xdr_ops kChecksumOps = {NoGetLong, ChecksumPutLong, NoGetBytes, ChecksumPutBytes, ChecksumPosition,
                                   NoSetPosition, NoInline, NoDestroy, NoControl};


// Sends stored reply bytes as the results of a fresh reply header.
bool_t PutStored(XDR* xdrs, std::vector<char>* bytes) {
    return XDR_PUTBYTES(xdrs, bytes->data(), static_cast<u_int>(bytes->size()));
}

}  // namespace

uint64_t DuplicateRequestCache::ChecksumOfArguments(xdrproc_t encoder, void* arguments) {
    ChecksumStream stream;
    XDR xdrs{};
    xdrs.x_op = XDR_ENCODE;
    xdrs.x_ops = &kChecksumOps;
    xdrs.x_private = &stream;
    (*encoder)(&xdrs, arguments);
    return Checksum(&stream.position, sizeof(stream.position), stream.checksum);
}

CachedCall::CachedCall(DuplicateRequestCache& cache, std::string client, uint32_t xid, uint32_t procedure)
    : cache_(cache) {
    key_.client = std::move(client);
    key_.xid = xid;
    key_.procedure = procedure;
}

CachedCall::~CachedCall() {
    if (claimed_) cache_.Abandon(key_);
}

bool CachedCall::Admit(SVCXPRT* transport, xdrproc_t decoder, void* args) {
    // The decoded arguments encode back to the bytes the client sent.
    key_.checksum = DuplicateRequestCache::ChecksumOfArguments(decoder, args);
    std::vector<char> reply;
    switch (cache_.Begin(key_, reply)) {
        case DuplicateRequestCache::Outcome::kExecute: claimed_ = true; return true;
        case DuplicateRequestCache::Outcome::kReplay:
            NFS_LOG(3, "INFO: NFS: replaying the reply to xid %u from [%s]", key_.xid, key_.client.c_str());
            svc_sendreply(transport, XDR_PROC(PutStored), reinterpret_cast<char*>(&reply));
            return false;
        case DuplicateRequestCache::Outcome::kInProgress:
            NFS_LOG(3, "INFO: NFS: dropping xid %u from [%s], still in progress", key_.xid, key_.client.c_str());
            return false;
    }
    return false;
}

void CachedCall::Reply(xdrproc_t encoder, const void* result) {
    if (!claimed_) return;
    claimed_ = false;
    std::vector<char> bytes = Encode(encoder, result);
    // An empty body would replay as a malformed reply; let a retry run instead.
    if (bytes.empty()) {
        cache_.Abandon(key_);
    } else {
        cache_.Complete(key_, std::move(bytes));
    }
}
