#include "platform/CPelError.h"

#include <string.h>

std::string CPelError::AsString() const {
    if (!IsError()) return "Success";
    // An error built without a text still says what went wrong.
    std::string text = message_;
    if (text.empty()) {
        char buf[256];
        text = strerror_r(errNo_, buf, sizeof(buf));
    }
    return text + " (errno " + std::to_string(errNo_) + ")";
}
