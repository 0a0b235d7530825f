// The write verifier of one life of the process: random at every start, so a
// client never mistakes a restarted server (even after kill -9) for the one
// that acknowledged its unstable writes; constant until the process ends.
#pragma once
#include <cstdint>

class WriteVerifier {
public:
    // Draws 8 random bytes from the kernel (getrandom, else /dev/urandom,
    // else clock and pid). Thread-safe; computed once.
    static const unsigned char* Get();
    static constexpr unsigned kSize = 8;
};
