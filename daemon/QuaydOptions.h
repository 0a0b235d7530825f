// Command line of quayd.
#pragma once
#include <cstdint>
#include <string>

#include "nfsserver/NfsServerConfig.h"

struct QuaydOptions {
    bool help = false;        // print the help text and exit
    bool version = false;     // print the version and exit
    bool info = false;        // print the module's identity and exit
    std::string modulePath;   // libBackupFSM.so; default: next to quayd's libraries
    std::string dataDir;      // overrides QUAY_DATA_DIR
    std::string logFile;      // default: <data dir>/quayd.log
    std::string configDb;     // default: QUAY_CONFIG_DB or <data dir>/config.db
    std::string adminSocket;  // default: <data dir>/quayd.sock
    int logLevel = -2;        // -2: keep the writer's level
    unsigned logMaxMb = 64;   // the log file is rotated before it grows beyond; 0: never
    unsigned logKeep = 4;     // rotated files kept beside the log file
    NfsServerConfig nfs;      // --nfs-address, --nfs-port (0: off), --mount-port, --no-rpcbind,
                              // --nfs-poll-us, --max-connections, --lease-seconds
    std::string metricsAddress;  // --metrics ADDR:PORT; empty: no metrics endpoint
    uint16_t metricsPort = 0;

    // False with a message in error when the arguments are not understood.
    bool Parse(int argc, char** argv, std::string& error);
    // The short form, printed after a usage error.
    static std::string Usage();
    // Usage, every option, the log levels and the signals quayd acts on.
    static std::string Help();
    static std::string Version();
    // ADDR:PORT with a numeric IPv4 address, or [ADDR]:PORT with an IPv6
    // one, port 1 to 65535; false with a message in error.
    static bool ParseEndpoint(const std::string& text, std::string& address, uint16_t& port, std::string& error);
};
