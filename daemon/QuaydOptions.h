// Command line of quayd.
#pragma once
#include <string>

#include "nfsserver/NfsServerConfig.h"

struct QuaydOptions {
    bool info = false;        // print the module's identity and exit
    std::string modulePath;   // libBackupFSM.so; default: next to quayd's libraries
    std::string dataDir;      // overrides QUAY_DATA_DIR
    std::string logFile;      // default: <data dir>/quayd.log
    std::string configDb;     // default: QUAY_CONFIG_DB or <data dir>/config.db
    std::string adminSocket;  // default: <data dir>/quayd.sock
    int logLevel = -2;        // -2: keep the writer's level
    NfsServerConfig nfs;      // --nfs-address, --nfs-port (0: off), --mount-port, --no-rpcbind

    // False with a message in error when the arguments are not understood.
    bool Parse(int argc, char** argv, std::string& error);
    static std::string Usage();
};
