#include "objectstore/GuidSource.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

namespace ObjectStore {

namespace {

constexpr int kTimeDigits = 13;  // 52 bits of microseconds
constexpr int kGuidDigits = 32;

void RandomBytes(uint8_t* bytes, size_t count) {
    size_t got = 0;
    while (got < count) {
        ssize_t n = ::getrandom(bytes + got, count - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < count) {
        // No kernel randomness: fall back to a per-thread generator.
        thread_local std::mt19937_64 gen(std::random_device{}());
        for (size_t i = got; i < count; ++i) bytes[i] = static_cast<uint8_t>(gen());
    }
}

// Writes the low `digits` hexadecimal digits of value into out, most
// significant first.
void PutHex(char* out, int digits, uint64_t value) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = kHex[value & 15];
        value >>= 4;
    }
}

}  // namespace

std::string GuidText(uint64_t timeUs, uint64_t randomHigh, uint64_t randomLow) {
    std::string out(kGuidDigits, '0');
    PutHex(&out[0], kTimeDigits, timeUs);
    // 19 random digits: 3 from the high word, 16 from the low one.
    PutHex(&out[kTimeDigits], 3, randomHigh);
    PutHex(&out[kTimeDigits + 3], 16, randomLow);
    return out;
}

std::string NewGuidText() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch).count();
    uint8_t bytes[16];
    RandomBytes(bytes, sizeof(bytes));
    uint64_t high = 0;
    uint64_t low = 0;
    std::memcpy(&high, bytes, 8);
    std::memcpy(&low, bytes + 8, 8);
    return GuidText(us < 0 ? 0 : static_cast<uint64_t>(us), high, low);
}

}  // namespace ObjectStore
