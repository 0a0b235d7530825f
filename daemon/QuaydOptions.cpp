#include "daemon/QuaydOptions.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "daemon/QuaydVersion.h"
#include "daemon/admin/AdminProtocol.h"

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
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "--info") {
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
        } else if (arg == "--secure-ports") {
            nfs.securePorts = true;
        } else if (arg == "--lease-seconds") {
            long seconds = 0;
            if (!number(1, 3600, "--lease-seconds must be a number of seconds from 1 to 3600", seconds)) return false;
            nfs.leaseSeconds = static_cast<unsigned>(seconds);
        } else if (arg == "--grace-seconds") {
            long seconds = 0;
            if (!number(0, 3600, "--grace-seconds must be a number of seconds from 0 to 3600", seconds)) return false;
            nfs.graceSeconds = static_cast<int>(seconds);
        } else if (arg == "--metrics") {
            std::string endpoint;
            if (!value(endpoint) || !ParseEndpoint(endpoint, metricsAddress, metricsPort, error)) return false;
        } else if (arg == "--no-rpcbind") {
            nfs.registerWithRpcbind = false;
        } else if (arg == "--log-level") {
            long level = 0;
            if (!number(-1, 10, "log level must be a number from -1 to 10", level)) return false;
            logLevel = static_cast<int>(level);
        } else if (arg == "--log-max-mb") {
            long megabytes = 0;
            if (!number(0, 1048576, "--log-max-mb must be a number of MiB from 0 to 1048576", megabytes)) return false;
            logMaxMb = static_cast<unsigned>(megabytes);
        } else if (arg == "--log-keep") {
            long files = 0;
            if (!number(0, 1000, "--log-keep must be a number of files from 0 to 1000", files)) return false;
            logKeep = static_cast<unsigned>(files);
        } else {
            error = "unknown argument " + arg;
            return false;
        }
    }
    return true;
}

std::string QuaydOptions::Usage() {
    return "usage: quayd [--help] [--version] [--info] [--module PATH] [--data-dir DIR]\n"
           "             [--log-file FILE] [--log-level N] [--log-max-mb N] [--log-keep N]\n"
           "             [--config-db FILE] [--admin-socket PATH]\n"
           "             [--nfs-address ADDR] [--nfs-port N] [--mount-port N] [--no-rpcbind]\n"
           "             [--nfs-poll-us N] [--max-connections N] [--secure-ports]\n"
           "             [--lease-seconds N] [--grace-seconds N] [--metrics ADDR:PORT]\n";
}

std::string QuaydOptions::Help() {
    return "quayd: serves backup object stores as NFS shares through the BackupFSM module.\n" + Usage() +
           "\n"
           "  --help, -h           this text\n"
           "  --version            quayd's version and admin protocol version\n"
           "  --info               load the module, print its name, type and details, exit\n"
           "  --module PATH        the module (default: ../lib/libBackupFSM.so from quayd's folder,\n"
           "                       else ../lib/quay/libBackupFSM.so, as the package installs it)\n"
           "  --data-dir DIR       data directory (default: $QUAY_DATA_DIR, else /var/lib/quay);\n"
           "                       one quayd per data directory (lock file DIR/quayd.pid)\n"
           "  --log-file FILE      log file (default: DIR/quayd.log)\n"
           "  --log-level N        -1 to 10 (default: $QUAY_LOG_LEVEL, else 1); see below\n"
           "  --log-max-mb N       rotate the log file before it grows beyond N MiB (default 64;\n"
           "                       0: never)\n"
           "  --log-keep N         rotated files kept, FILE.1 (newest) to FILE.N (default 4)\n"
           "  --config-db FILE     configuration database (default: $QUAY_CONFIG_DB, else\n"
           "                       DIR/config.db): an SQLite file, or postgresql://... (a libpq\n"
           "                       URI without password) for one database of several servers\n"
           "  --admin-socket PATH  quayadm's socket (default: DIR/quayd.sock)\n"
           "  --nfs-address ADDR   address of the NFS service (default 127.0.0.1)\n"
           "  --nfs-port N         NFS port (default 2049; 0: no NFS service)\n"
           "  --mount-port N       MOUNT port (default 20048; may equal the NFS port)\n"
           "  --no-rpcbind         do not register with rpcbind\n"
           "  --nfs-poll-us N      microseconds a connection polls for its next call (default 100)\n"
           "  --max-connections N  NFS connections open at once; more are refused (default 1024)\n"
           "  --secure-ports       refuse NFS and MOUNT connections from ports 1024 and above\n"
           "  --lease-seconds N    NFSv4 lease (default 90; 1 to 3600)\n"
           "  --grace-seconds N    NFSv4 grace period after a start, in which only reclaims are\n"
           "                       granted (default: one lease; 0 to 3600)\n"
           "  --metrics ADDR:PORT  serve metrics in the Prometheus text format at\n"
           "                       http://ADDR:PORT/metrics (IPv6: [ADDR]:PORT; default: off)\n"
           "\n"
           "Log levels: a line is written when its level is at most the log level.\n"
           "  -1    errors, warnings, start and stop\n"
           "   1    admin requests and their answers, export changes, refused mounts (default)\n"
           "   2    refused NFS calls, broken NFS connections\n"
           "   3    every MOUNT and UMNT, every NFS connection\n"
           "   4-10 module and store detail\n"
           "\n"
           "Signals: SIGHUP reopens the log file. SIGINT, SIGTERM and every other signal that\n"
           "would end quayd stop it cleanly: shares saved, admin socket removed, module unloaded.\n"
           "Under systemd (NOTIFY_SOCKET set), quayd reports READY=1 once its admin socket and its\n"
           "NFS and metrics listeners are up, and STOPPING=1 as it begins to stop.\n";
}

bool QuaydOptions::ParseEndpoint(const std::string& text, std::string& address, uint16_t& port, std::string& error) {
    error = "--metrics takes ADDR:PORT (IPv6: [ADDR]:PORT) with a numeric address and a port from 1 to 65535, not " +
            text;
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon);
    const std::string portText = text.substr(colon + 1);
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    unsigned char scratch[sizeof(in6_addr)];
    const bool v4 = !bracketed && inet_pton(AF_INET, host.c_str(), scratch) == 1;
    const bool v6 = bracketed && inet_pton(AF_INET6, host.c_str(), scratch) == 1;
    char* end = nullptr;
    const long number = strtol(portText.c_str(), &end, 10);
    if ((!v4 && !v6) || portText.empty() || *end != '\0' || number < 1 || number > 65535) return false;
    address = host;
    port = static_cast<uint16_t>(number);
    error.clear();
    return true;
}

std::string QuaydOptions::Version() {
    return std::string("quayd ") + kQuaydVersion + ", admin protocol " + AdminProtocol::kVersion + "\n";
}
