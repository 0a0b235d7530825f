// The next page of a READDIRPLUS listing, prepared on the connection's
// thread while the client reads the page before it. A listing is a chain of
// calls, each sent only when the reply before it has arrived and been read;
// preparing the next page meanwhile lets the client's work and the server's
// run side by side instead of in turns.
//
// A prepared page answers only the call that continues the listing exactly
// (same directory, cookie, verifier and sizes, from the same caller on the
// same connection), and only when nothing changed from before it was
// prepared until that call (ChangeClock): it is then the reply the call
// would have got. Anything else drops it. The pages all connections hold at
// once are bounded (kPreparedBytes).
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "nfsserver/CallerIdentity.h"
#include "nfsserver/ChangeClock.h"
#include "nfsserver/PreparedBudget.h"
#include "nfsserver/ServerMetrics.h"
#include "nfsserver/nfs3.h"

// A READDIRPLUS reply and the storage its entries point into.
struct ReadDirPlusPage {
    ReadDirPlusPage() = default;
    ReadDirPlusPage(const ReadDirPlusPage&) = delete;
    ReadDirPlusPage& operator=(const ReadDirPlusPage&) = delete;

    std::deque<entryplus3> entries;
    std::deque<std::string> names;
    std::deque<nfs_fh3> handles;
    READDIRPLUS3res res{};
};

class ListingReadAhead {
public:
    // Fills page with the reply to args from caller.
    using Builder = std::function<void(const READDIRPLUS3args&, const CallerIdentity&, ReadDirPlusPage&)>;
    // Reply bytes of prepared pages of all connections at once.
    static constexpr size_t kPreparedBytes = 16 * 1024 * 1024;
    // The largest reply prepared ahead: a client's preferred listing size.
    static constexpr uint32_t kLargestPage = 64 * 1024;

    // metrics (may be null) counts the pages prepared and those used.
    ListingReadAhead(ChangeClock& clock, Builder builder, ServerMetrics* metrics = nullptr);
    ~ListingReadAhead();
    ListingReadAhead(const ListingReadAhead&) = delete;
    ListingReadAhead& operator=(const ListingReadAhead&) = delete;

    // The prepared page when args from caller continue the listing as
    // expected and nothing changed since; null otherwise. Either way nothing
    // stays prepared or expected.
    std::unique_ptr<ReadDirPlusPage> Take(const READDIRPLUS3args& args, const CallerIdentity& caller);
    // After answering args with page: expects the call that continues the
    // listing when the page did not end it.
    void Expect(const READDIRPLUS3args& args, const ReadDirPlusPage& page, const CallerIdentity& caller);
    // True when a continuation is expected and not yet prepared.
    bool Pending() const { return expected_.has_value() && !page_; }
    // Prepares the expected page, when no change is under way and the bound
    // leaves room.
    void Prepare();

    // Reply bytes prepared now, all connections together; for tests.
    static size_t PreparedBytes();

private:
    // The call that continues a listing after a page.
    struct Continuation {
        Continuation(const READDIRPLUS3args& answered, const ReadDirPlusPage& page, const CallerIdentity& from);
        READDIRPLUS3args Args() const;  // points into dir

        std::string dir;  // the handle's bytes
        uint64_t cookie;
        char verifier[NFS3_COOKIEVERFSIZE];
        uint32_t dircount;
        uint32_t maxcount;
        CallerIdentity caller;
    };
    bool Continues(const READDIRPLUS3args& args, const CallerIdentity& caller) const;
    void Drop();

    ChangeClock& clock_;
    const Builder builder_;
    ServerMetrics* const metrics_;
    std::optional<Continuation> expected_;
    std::unique_ptr<ReadDirPlusPage> page_;  // prepared for expected_
    uint64_t stamp_ = 0;                     // when page_ was begun
    PreparedBudget::Lease reserved_;         // of the shared bound, for page_
};
