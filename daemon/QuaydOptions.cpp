#include "daemon/QuaydOptions.h"

#include <cstdlib>
#include <cstring>

bool QuaydOptions::Parse(int argc, char** argv, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = "missing value after " + arg;
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (arg == "--info") {
            info = true;
        } else if (arg == "--module") {
            if (!value(modulePath)) return false;
        } else if (arg == "--data-dir") {
            if (!value(dataDir)) return false;
        } else if (arg == "--log-file") {
            if (!value(logFile)) return false;
        } else if (arg == "--config-db") {
            if (!value(configDb)) return false;
        } else if (arg == "--admin-socket") {
            if (!value(adminSocket)) return false;
        } else if (arg == "--log-level") {
            std::string text;
            if (!value(text)) return false;
            char* end = nullptr;
            const long level = strtol(text.c_str(), &end, 10);
            if (end == text.c_str() || *end != '\0' || level < -1 || level > 10) {
                error = "log level must be a number from -1 to 10";
                return false;
            }
            logLevel = static_cast<int>(level);
        } else {
            error = "unknown argument " + arg;
            return false;
        }
    }
    return true;
}

std::string QuaydOptions::Usage() {
    return "usage: quayd [--info] [--module PATH] [--data-dir DIR] [--log-file FILE]\n"
           "             [--config-db FILE] [--admin-socket PATH] [--log-level N]\n";
}
