#include "nfsserver/ListingReadAhead.h"

#include <cstring>
#include <utility>

namespace {

PreparedBudget budget(ListingReadAhead::kPreparedBytes);

}  // namespace

ListingReadAhead::Continuation::Continuation(const READDIRPLUS3args& answered, const ReadDirPlusPage& page,
                                             const CallerIdentity& from)
    : dir(answered.dir.data.data_val, answered.dir.data.data_len),
      cookie(page.entries.back().cookie),
      verifier{},
      dircount(answered.dircount),
      maxcount(answered.maxcount),
      caller(from) {
    memcpy(verifier, page.res.READDIRPLUS3res_u.resok.cookieverf, sizeof(verifier));
}

READDIRPLUS3args ListingReadAhead::Continuation::Args() const {
    READDIRPLUS3args args{};
    args.dir.data.data_len = static_cast<u_int>(dir.size());
    args.dir.data.data_val = const_cast<char*>(dir.data());
    args.cookie = cookie;
    memcpy(args.cookieverf, verifier, sizeof(verifier));
    args.dircount = dircount;
    args.maxcount = maxcount;
    return args;
}

ListingReadAhead::ListingReadAhead(ChangeClock& clock, Builder builder, ServerMetrics* metrics)
    : clock_(clock), builder_(std::move(builder)), metrics_(metrics), reserved_(budget) {}

ListingReadAhead::~ListingReadAhead() { Drop(); }

size_t ListingReadAhead::PreparedBytes() { return budget.Used(); }

std::unique_ptr<ReadDirPlusPage> ListingReadAhead::Take(const READDIRPLUS3args& args, const CallerIdentity& caller) {
    std::unique_ptr<ReadDirPlusPage> page;
    if (page_ && Continues(args, caller) && clock_.Unchanged(stamp_)) {
        page = std::move(page_);
        if (metrics_ != nullptr) metrics_->ListingPageAnswered();
    }
    Drop();
    return page;
}

void ListingReadAhead::Expect(const READDIRPLUS3args& args, const ReadDirPlusPage& page,
                              const CallerIdentity& caller) {
    Drop();
    if (page.res.status != NFS3_OK || page.res.READDIRPLUS3res_u.resok.reply.eof || page.entries.empty()) return;
    if (args.maxcount > kLargestPage) return;
    expected_.emplace(args, page, caller);
}

void ListingReadAhead::Prepare() {
    if (!Pending()) return;
    uint64_t stamp = 0;
    if (!clock_.QuietStamp(stamp) || !reserved_.Take(expected_->maxcount)) {
        expected_.reset();
        return;
    }
    auto page = std::make_unique<ReadDirPlusPage>();
    builder_(expected_->Args(), expected_->caller, *page);
    // A page that changed while it was made, or that answers with an error,
    // is left to the call itself.
    if (page->res.status != NFS3_OK || !clock_.Unchanged(stamp)) {
        Drop();
        return;
    }
    page_ = std::move(page);
    stamp_ = stamp;
    if (metrics_ != nullptr) metrics_->ListingPagePrepared();
}

bool ListingReadAhead::Continues(const READDIRPLUS3args& args, const CallerIdentity& caller) const {
    const Continuation& next = *expected_;
    return args.cookie == next.cookie && args.dircount == next.dircount && args.maxcount == next.maxcount &&
           memcmp(args.cookieverf, next.verifier, sizeof(next.verifier)) == 0 &&
           args.dir.data.data_len == next.dir.size() &&
           (next.dir.empty() || memcmp(args.dir.data.data_val, next.dir.data(), next.dir.size()) == 0) &&
           caller.SameAs(next.caller);
}

void ListingReadAhead::Drop() {
    page_.reset();
    expected_.reset();
    reserved_.Return();
}
