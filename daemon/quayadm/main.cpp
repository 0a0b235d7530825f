// quayadm: the admin command of quayd. Sends one request over quayd's admin
// socket (or, with --server or --config-db, through the configuration
// database the servers share, to the quayd that serves the share) and prints
// the answer: "<code>: <text>", then one line per row. Exit status 0 when the
// code is 0, else 1.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "configclient/ConfigBackend.h"
#include "daemon/QuaydVersion.h"
#include "daemon/admin/AdminChannel.h"
#include "daemon/admin/AdminProtocol.h"
#include "daemon/admin/KeyValueList.h"
#include "daemon/quayadm/QuayAdmCommand.h"
#include "daemon/quayadm/RemoteAdmin.h"

namespace {

// Export creation opens a store; allow it time.
constexpr int kAnswerTimeoutSeconds = 300;

int Exchange(const std::string& socketPath, const std::string& payload, std::string& answer) {
    int fd = -1;
    int error = AdminChannel::Connect(socketPath, fd);
    if (error != 0) {
        const bool absent = error == ENOENT || error == ECONNREFUSED;
        fprintf(stderr, "quayadm: cannot connect to %s: %s%s\n", socketPath.c_str(), strerror(error),
                absent ? " (is quayd running?)" : "");
        return 1;
    }
    AdminChannel::SetTimeouts(fd, kAnswerTimeoutSeconds);
    error = AdminChannel::SendFrame(fd, payload);
    // A refused request may be answered before all of it was sent: read anyway.
    const int receiveError = AdminChannel::ReceiveFrame(fd, AdminChannel::kMaxResponseBytes, answer);
    ::close(fd);
    if (receiveError != 0) {
        fprintf(stderr, "quayadm: no answer from quayd: %s\n", strerror(error != 0 ? error : receiveError));
        return 1;
    }
    return 0;
}

// The way through the shared configuration database: the request goes to
// --server, else to the server the configuration gives the share to.
int ExchangeRemote(const std::string& configDb, const std::string& server, int timeoutSeconds,
                   const std::string& payload, std::string& answer) {
    const char* envDb = getenv("QUAY_CONFIG_DB");
    const std::string location = !configDb.empty() ? configDb : envDb != nullptr ? envDb : "";
    if (!ConfigBackend::IsPostgresLocation(location)) {
        fprintf(stderr, "quayadm: --route and --server need the shared configuration database: --config-db "
                        "URI or QUAY_CONFIG_DB (postgresql://...)\n");
        return 1;
    }
    std::string target = server;
    std::string error;
    KeyValueList request;
    if (target.empty() && (!request.Decode(payload, error) || !RemoteAdmin::ServerFor(location, request, target, error))) {
        fprintf(stderr, "quayadm: %s\n", error.c_str());
        return 1;
    }
    if (RemoteAdmin::Exchange(location, target, payload, timeoutSeconds, answer, error) != 0) {
        fprintf(stderr, "quayadm: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath = QuayAdmCommand::DefaultSocketPath();
    bool raw = false;
    std::string configDb;
    std::string server;
    bool remote = false;
    int timeoutSeconds = 30;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (args.empty() && arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (args.empty() && arg == "--config-db" && i + 1 < argc) {
            configDb = argv[++i];
            remote = true;
            if (ConfigBackend::HasPassword(configDb)) {
                fprintf(stderr, "quayadm: --config-db must not carry a password (others can read command lines); "
                                "use a service file, PGPASSFILE or QUAY_CONFIG_DB\n");
                return 1;
            }
        } else if (args.empty() && arg == "--route") {
            remote = true;
        } else if (args.empty() && arg == "--server" && i + 1 < argc) {
            server = argv[++i];
            remote = true;
        } else if (args.empty() && arg == "--timeout" && i + 1 < argc) {
            unsigned long seconds = 0;
            if (!AdminProtocol::ParseNumber(argv[++i], 3600, seconds) || seconds == 0) {
                fprintf(stderr, "quayadm: --timeout must be a number of seconds from 1 to 3600\n");
                return 1;
            }
            timeoutSeconds = static_cast<int>(seconds);
        } else if (args.empty() && arg == "--raw") {
            raw = true;
        } else if (args.empty() && (arg == "--help" || arg == "-h")) {
            fputs(QuayAdmCommand::Usage().c_str(), stdout);
            return 0;
        } else if (args.empty() && arg == "--version") {
            printf("quayadm %s, admin protocol %s\n", kQuaydVersion, AdminProtocol::kVersion);
            return 0;
        } else {
            args.push_back(arg);
        }
    }
    if (raw && !args.empty()) {
        fprintf(stderr, "quayadm: --raw takes no command\n%s", QuayAdmCommand::Usage().c_str());
        return 1;
    }
    std::string payload;
    if (raw) {
        payload.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        KeyValueList request;
        std::string error;
        if (!QuayAdmCommand::BuildRequest(args, request, error)) {
            fprintf(stderr, "quayadm: %s\n(quayadm --help lists the commands)\n", error.c_str());
            return 1;
        }
        payload = request.Encode();
    }
    std::string answer;
    if (remote ? ExchangeRemote(configDb, server, timeoutSeconds, payload, answer) != 0
               : Exchange(socketPath, payload, answer) != 0) {
        return 1;
    }
    KeyValueList response;
    std::string error;
    if (!response.Decode(answer, error)) {
        fprintf(stderr, "quayadm: malformed answer from quayd: %s\n", error.c_str());
        return 1;
    }
    return QuayAdmCommand::PrintResponse(response, stdout, stderr);
}
