#include "objectstore/ParallelSync.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace ObjectStore {

void ParallelSync::Run(size_t count, const std::function<void(size_t)>& sync) {
    if (count == 1) {
        sync(0);
        return;
    }
    std::atomic<size_t> next{0};
    std::mutex failureMutex;
    std::exception_ptr failure;
    auto work = [&] {
        for (size_t i = next++; i < count; i = next++) {
            try {
                sync(i);
            } catch (...) {
                std::lock_guard<std::mutex> guard(failureMutex);
                if (!failure) failure = std::current_exception();
            }
        }
    };
    std::vector<std::thread> helpers;
    const size_t helperCount = count == 0 ? 0 : std::min(count, kMaxInFlight) - 1;
    helpers.reserve(helperCount);
    try {
        for (size_t t = 0; t < helperCount; ++t) helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // No thread to spare: the caller's thread does the rest alone.
    }
    work();
    for (std::thread& helper : helpers) helper.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace ObjectStore
