#include "objectstore/TimeText.h"

#include <ctime>

namespace ObjectStore {

std::string UtcText(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm parts{};
    if (gmtime_r(&t, &parts) == nullptr) return std::to_string(seconds);
    char text[64];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::string DescribeUs(int64_t us) {
    const int64_t seconds = us / 1000000;
    return UtcText(seconds) + " (" + std::to_string(seconds) + ")";
}

}  // namespace ObjectStore
