// quayadm: the admin command of quayd. Sends one request over quayd's admin
// socket and prints the answer: "<code>: <text>", then one line per row.
// Exit status 0 when the code is 0, else 1.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "daemon/QuaydVersion.h"
#include "daemon/admin/AdminChannel.h"
#include "daemon/admin/AdminProtocol.h"
#include "daemon/admin/KeyValueList.h"
#include "daemon/quayadm/QuayAdmCommand.h"

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

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath = QuayAdmCommand::DefaultSocketPath();
    bool raw = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (args.empty() && arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
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
    if (Exchange(socketPath, payload, answer) != 0) return 1;
    KeyValueList response;
    std::string error;
    if (!response.Decode(answer, error)) {
        fprintf(stderr, "quayadm: malformed answer from quayd: %s\n", error.c_str());
        return 1;
    }
    return QuayAdmCommand::PrintResponse(response, stdout, stderr);
}
