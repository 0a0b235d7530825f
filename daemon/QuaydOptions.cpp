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
        // The next argument as a whole decimal number from low to high.
        auto number = [&](long low, long high, const std::string& range, long& out) {
            std::string text;
            if (!value(text)) return false;
            char* end = nullptr;
            out = strtol(text.c_str(), &end, 10);
            if (end == text.c_str() || *end != '\0' || out < low || out > high) {
                error = range;
                return false;
            }
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
            long port = 0;
            if (!number(0, 65535, arg + " must be a port number from 0 to 65535", port)) return false;
            (arg == "--nfs-port" ? nfs.nfsPort : nfs.mountPort) = static_cast<uint16_t>(port);
        } else if (arg == "--nfs-poll-us") {
            long microseconds = 0;
            if (!number(0, 10000, "--nfs-poll-us must be a number of microseconds from 0 to 10000", microseconds)) {
                return false;
            }
            nfs.pollMicroseconds = static_cast<unsigned>(microseconds);
        } else if (arg == "--max-connections") {
            long connections = 0;
            if (!number(1, 65536, "--max-connections must be a number from 1 to 65536", connections)) return false;
            nfs.maxConnections = static_cast<unsigned>(connections);
        } else if (arg == "--no-rpcbind") {
            nfs.registerWithRpcbind = false;
        } else if (arg == "--log-level") {
            long level = 0;
            if (!number(-1, 10, "log level must be a number from -1 to 10", level)) return false;
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
           "             [--nfs-address ADDR] [--nfs-port N] [--mount-port N] [--no-rpcbind]\n"
           "             [--nfs-poll-us N] [--max-connections N]\n";
}
