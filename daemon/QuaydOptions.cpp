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
        } else if (arg == "--nfs-address") {
            if (!value(nfs.address)) return false;
        } else if (arg == "--nfs-port" || arg == "--mount-port") {
            std::string text;
            if (!value(text)) return false;
            char* end = nullptr;
            const long port = strtol(text.c_str(), &end, 10);
            if (end == text.c_str() || *end != '\0' || port < 0 || port > 65535) {
                error = arg + " must be a port number from 0 to 65535";
                return false;
            }
            (arg == "--nfs-port" ? nfs.nfsPort : nfs.mountPort) = static_cast<uint16_t>(port);
        } else if (arg == "--no-rpcbind") {
            nfs.registerWithRpcbind = false;
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
           "             [--config-db FILE] [--admin-socket PATH] [--log-level N]\n"
           "             [--nfs-address ADDR] [--nfs-port N] [--mount-port N] [--no-rpcbind]\n";
}
