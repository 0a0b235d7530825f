#include "host/UniqueNumber.h"

#include <climits>

#include "host/UniqueNumberPool.h"

namespace {

// Modules return descriptor numbers as int, where -1 means failure: keep
// every number within the positive int range.
UniqueNumberPool& DescriptorNumbers() {
    static UniqueNumberPool* pool = new UniqueNumberPool(INT_MAX);  // never destroyed
    return *pool;
}

}  // namespace

unsigned int GetUniqueNumber() { return DescriptorNumbers().Take(); }

void FreeUniqueNumber(unsigned int number) { DescriptorNumbers().Release(number); }

unsigned int TakenUniqueNumbers() { return DescriptorNumbers().TakenCount(); }
