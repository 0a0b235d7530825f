#include "daemon/quayadm/RemoteAdmin.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <vector>

#include "configclient/ConfigDatabase.h"
#include "configclient/ServerRequestQueue.h"
#include "daemon/ShareServer.h"
#include "daemon/admin/AdminProtocol.h"

constexpr int RemoteAdmin::kAnswerTimeoutSeconds;

namespace {

// Between checks of the answer when no notification comes.
constexpr int kPollMs = 500;
// How long after the deadline quayadm keeps trying to withdraw a request
// while the database is unreachable.
constexpr int64_t kUnreachableMs = 10000;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Sender() {
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof(host) - 1) != 0) host[0] = '\0';
    return "quayadm uid " + std::to_string(getuid()) + " on " + host;
}

}  // namespace

bool RemoteAdmin::ServerFor(const std::string& location, const KeyValueList& request, std::string& server,
                            std::string& error) {
    std::string command;
    std::string subclientText;
    std::string path;
    request.Get(AdminProtocol::kCommandField, command);
    const bool byShare = command == AdminProtocol::kExport || command == AdminProtocol::kStats ||
                         command == AdminProtocol::kClientUpdate;
    if (!byShare && command != AdminProtocol::kPrune) {
        error = "the configuration gives [" + command + "] to no server; name one with --server";
        return false;
    }
    unsigned long subclient = 0;
    request.Get(AdminProtocol::kSubclientField, subclientText);
    if (!AdminProtocol::ParseId(AdminProtocol::kSubclientField, subclientText, false, subclient, error)) return false;
    if (byShare) request.Get(AdminProtocol::kPathField, path);

    ConfigDatabase& db = ConfigDatabase::Instance();
    const CPelError opened = db.Open(location, false);
    if (opened.IsError()) {
        error = opened.Message();
        return false;
    }
    std::vector<std::string> servers;
    const ShareServer::Answer answer = ShareServer::ServersOf(db, subclient, path, servers);
    const std::string what = path.empty() ? "a store" : "a share [" + path + "]";
    switch (answer) {
        case ShareServer::Answer::kNoSubclient:
            error = "subclient " + subclientText + " does not exist";
            return false;
        case ShareServer::Answer::kDatabaseError:
            error = "cannot read subclient " + subclientText + " from " + db.Describe();
            return false;
        case ShareServer::Answer::kNotConfigured:
            error = "subclient " + subclientText + " has no " + what.substr(2) + "; name the server with --server";
            return false;
        case ShareServer::Answer::kFound:
            break;
    }
    for (const std::string& other : servers) {
        if (!ShareServer::SameServer(other, servers[0])) {
            error = "subclient " + subclientText + " has " + what + " on several servers; name one with --server";
            return false;
        }
    }
    if (servers[0].empty()) {
        error = "subclient " + subclientText + " names no NFS server; name one with --server";
        return false;
    }
    server = servers[0];
    return true;
}

int RemoteAdmin::Exchange(const std::string& location, const std::string& server, const std::string& payload,
                          int timeoutSeconds, std::string& answer, std::string& error) {
    ServerRequestQueue queue;
    CPelError failed = queue.Open(location);
    if (!failed.IsError()) {
        // Without notifications the polling still finds the answer.
        queue.Listen(ServerRequestQueue::kResponseChannel);
    }
    int64_t id = 0;
    if (!failed.IsError()) failed = queue.Post(server, Sender(), payload, int64_t(timeoutSeconds) * 1000, id);
    if (failed.IsError()) {
        error = failed.Message();
        return 1;
    }
    const std::string request = "request " + std::to_string(id) + " for server [" + server + "]";
    const int64_t started = SteadyMs();
    const int64_t takeBy = started + int64_t(timeoutSeconds) * 1000;
    const int64_t answerBy = started + int64_t(kAnswerTimeoutSeconds) * 1000;
    bool taken = false;
    while (true) {
        ServerRequestQueue::State state = ServerRequestQueue::State::kGone;
        std::string response;
        failed = queue.Check(id, state, response);
        if (!failed.IsError()) {
            if (state == ServerRequestQueue::State::kAnswered) {
                queue.Remove(id);
                answer = response;
                return 0;
            }
            if (state == ServerRequestQueue::State::kGone) {
                error = request + " was removed before it was answered";
                return 1;
            }
            taken = taken || state == ServerRequestQueue::State::kTaken;
        }
        const int64_t now = SteadyMs();
        if (!taken && now >= takeBy) {
            bool withdrawn = false;
            failed = queue.Withdraw(id, withdrawn);
            if (withdrawn) {
                error = "server [" + server + "] did not take " + request.substr(0, request.find(" for")) + " within " +
                        std::to_string(timeoutSeconds) +
                        " s (is its quayd running, with this configuration database?); the request was withdrawn "
                        "and will not run";
                return 1;
            }
            if (!failed.IsError()) {
                taken = true;  // taken meanwhile: wait for the answer
            } else if (now >= takeBy + kUnreachableMs) {
                // Its deadline keeps it from being taken from now on.
                error = "cannot reach the configuration database to learn whether server [" + server + "] took " +
                        request.substr(0, request.find(" for")) + " before its deadline (" + failed.Message() +
                        "); it will not be taken any more";
                return 1;
            }
        }
        if (now >= answerBy) {
            error = "server [" + server + "] took " + request.substr(0, request.find(" for")) + " but gave no answer within " +
                    std::to_string(kAnswerTimeoutSeconds) + " s; see its log";
            return 1;
        }
        const int64_t until = taken || now >= takeBy ? answerBy : takeBy;
        queue.Wait(static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(kPollMs, until - now))), -1);
    }
}
