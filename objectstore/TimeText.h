// Times of the store as people read them in messages and statistics.
#pragma once
#include <cstdint>
#include <string>

namespace ObjectStore {

// "2026-12-08 10:15:00 UTC".
std::string UtcText(int64_t seconds);
// A history time in microseconds as "2026-12-08 10:15:00 UTC (1796724900)",
// the seconds being what a point-in-time view is asked for.
std::string DescribeUs(int64_t us);

}  // namespace ObjectStore
