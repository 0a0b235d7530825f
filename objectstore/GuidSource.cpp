#include "objectstore/GuidSource.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <random>

namespace ObjectStore {

std::string NewGuidText() {
    uint8_t bytes[16];
    size_t got = 0;
    while (got < sizeof(bytes)) {
        ssize_t n = ::getrandom(bytes + got, sizeof(bytes) - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof(bytes)) {
        // No kernel randomness: fall back to a per-thread generator.
        thread_local std::mt19937_64 gen(std::random_device{}());
        for (size_t i = got; i < sizeof(bytes); ++i) bytes[i] = static_cast<uint8_t>(gen());
    }
    static const char kHex[] = "0123456789abcdef";
    std::string out(32, '0');
    for (size_t i = 0; i < sizeof(bytes); ++i) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 15];
    }
    return out;
}

}  // namespace ObjectStore
