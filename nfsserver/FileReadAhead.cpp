#include "nfsserver/FileReadAhead.h"

#include <cstring>
#include <utility>

namespace {

PreparedBudget budget(FileReadAhead::kPreparedBytes);

}  // namespace

char* ReadReply::Room(size_t n) {
    if (room_ < n) {
        data_.reset(new char[n]);
        room_ = n;
    }
    return data_.get();
}

void ReadReply::Release() {
    data_.reset();
    room_ = 0;
}

READ3args FileReadAhead::Continuation::Args() const {
    READ3args args{};
    args.file.data.data_len = static_cast<u_int>(file.size());
    args.file.data.data_val = const_cast<char*>(file.data());
    args.offset = offset;
    args.count = count;
    return args;
}

FileReadAhead::FileReadAhead(ChangeClock& clock, Builder builder, size_t largest, ServerMetrics* metrics)
    : clock_(clock), builder_(std::move(builder)), largest_(largest), metrics_(metrics), reserved_(budget) {}

FileReadAhead::~FileReadAhead() { Drop(); }

size_t FileReadAhead::PreparedBytes() { return budget.Used(); }

const ReadReply& FileReadAhead::Answer(const READ3args& args, const CallerIdentity& caller) {
    const bool continues = expected_.has_value() && Continues(args, caller);
    inOrder_ = continues || args.offset == 0;
    if (prepared_ && continues && clock_.Unchanged(stamp_)) {
        // The buffers swap, so neither is allocated again.
        std::swap(answered_, next_);
        if (metrics_ != nullptr) metrics_->ReadAnsweredAhead();
    } else {
        builder_(args, caller, answered_);
    }
    Drop();
    return answered_;
}

void FileReadAhead::Expect(const READ3args& args, const CallerIdentity& caller) {
    Drop();
    const READ3res& res = answered_.res;
    const count3 got = res.status == NFS3_OK ? res.READ3res_u.resok.count : 0;
    if (res.status == NFS3_OK && !res.READ3res_u.resok.eof && got != 0 && got == args.count && args.count <= largest_) {
        // Expected even after a READ elsewhere in the file, which tells of
        // a reader that jumps about and so is not prepared (its next piece
        // would mostly be read for nothing): only the READ that goes on from
        // it tells whether it reads in order.
        expected_.emplace(Continuation{std::string(args.file.data.data_val, args.file.data.data_len),
                                       args.offset + got, args.count, caller});
    }
    // The spare buffer stays only with a reader whose next piece is to come.
    if (!Pending()) next_.Release();
}

void FileReadAhead::Prepare() {
    if (!Pending()) return;
    uint64_t stamp = 0;
    if (!clock_.QuietStamp(stamp) || !reserved_.Take(expected_->count)) {
        GiveUp();
        return;
    }
    builder_(expected_->Args(), expected_->caller, next_);
    // A reply that changed while it was made, or that answers with an
    // error, is left to the call itself.
    if (next_.res.status != NFS3_OK || !clock_.Unchanged(stamp)) {
        GiveUp();
        return;
    }
    prepared_ = true;
    stamp_ = stamp;
    if (metrics_ != nullptr) metrics_->ReadPreparedAhead();
}

bool FileReadAhead::Continues(const READ3args& args, const CallerIdentity& caller) const {
    const Continuation& next = *expected_;
    return args.offset == next.offset && args.count == next.count && args.file.data.data_len == next.file.size() &&
           (next.file.empty() || memcmp(args.file.data.data_val, next.file.data(), next.file.size()) == 0) &&
           caller.SameAs(next.caller);
}

void FileReadAhead::Drop() {
    prepared_ = false;
    expected_.reset();
    reserved_.Return();
}

void FileReadAhead::GiveUp() {
    Drop();
    next_.Release();
}
