#include "objectstore/PageKeyBound.h"

namespace ObjectStore {

int PageKeyBound::Find(const void* page) const noexcept {
    for (size_t i = 0; i < outlierCount_; ++i)
        if (outliers_[i].page == page) return static_cast<int>(i);
    return -1;
}

void PageKeyBound::Erase(int index) noexcept { outliers_[index] = outliers_[--outlierCount_]; }

void PageKeyBound::Fold() noexcept {
    for (size_t i = 0; i < outlierCount_; ++i)
        if (outliers_[i].key > bound_) bound_ = outliers_[i].key;
    outlierCount_ = 0;
}

void PageKeyBound::Fetched(const void* page, unsigned key) noexcept {
    const int index = Find(page);
    if (index >= 0) {
        if (outliers_[index].key == key) return;  // the parked page itself
        Erase(index);  // recycled under another number meanwhile
    }
    if (key > bound_) bound_ = key;
}

void PageKeyBound::Rekeyed(const void* page, unsigned newKey) noexcept {
    const int index = Find(page);
    if (index >= 0) Erase(index);
    if (newKey <= bound_) return;
    if (outlierCount_ == kMaxOutliers) Fold();
    outliers_[outlierCount_++] = {page, newKey};
}

void PageKeyBound::Discarded(const void* page) noexcept {
    const int index = Find(page);
    if (index >= 0) Erase(index);
}

bool PageKeyBound::MayHoldFrom(unsigned limit) const noexcept {
    if (limit <= bound_) return true;
    for (size_t i = 0; i < outlierCount_; ++i)
        if (outliers_[i].key >= limit) return true;
    return false;
}

void PageKeyBound::Truncated(unsigned limit) noexcept {
    if (limit == 0) {
        bound_ = 0;
        outlierCount_ = 0;
        return;
    }
    if (bound_ >= limit) bound_ = limit - 1;
    for (size_t i = outlierCount_; i-- > 0;)
        if (outliers_[i].key >= limit) Erase(static_cast<int>(i));
}

}  // namespace ObjectStore
