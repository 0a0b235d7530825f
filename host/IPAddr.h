// Client addresses as the host passes them to exports.
#pragma once
#include <string>

struct ZELIPAddr {
    std::string text;  // numeric address, e.g. "127.0.0.1"
};
typedef ZELIPAddr CPelIPAddr;
