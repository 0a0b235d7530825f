#include "daemon/ServerRequestListener.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>

#include "daemon/AdminResult.h"
#include "daemon/QuaydLog.h"
#include "daemon/admin/AdminChannel.h"

constexpr int ServerRequestListener::kPollMs;
constexpr int64_t ServerRequestListener::kPurgeEveryMs;
constexpr int64_t ServerRequestListener::kKeepExpiredMs;
constexpr size_t ServerRequestListener::kMaxSenderText;

namespace {

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool ServerRequestListener::Open(std::string& error) {
    const CPelError opened = queue_.Open(location_);
    if (opened.IsError()) {
        error = opened.Message();
        return false;
    }
    const CPelError listening = queue_.Listen(ServerRequestQueue::kRequestChannel);
    // Polling still finds every request.
    if (listening.IsError()) QUAYD_LOG(-1, "WARN: Server requests: %s; polling only", listening.Message().c_str());
    return true;
}

bool ServerRequestListener::Start(std::string& error) {
    if (::pipe2(wakeFds_, O_CLOEXEC) != 0) {
        error = "cannot make the listener's wake pipe";
        return false;
    }
    stop_ = false;
    try {
        thread_ = std::thread(&ServerRequestListener::Loop, this);
    } catch (const std::exception& e) {
        error = std::string("cannot start the listener: ") + e.what();
        return false;
    }
    return true;
}

void ServerRequestListener::Stop() {
    stop_ = true;
    if (wakeFds_[1] >= 0) {
        const char wake = 1;
        while (::write(wakeFds_[1], &wake, 1) < 0 && errno == EINTR) {
        }
    }
    if (thread_.joinable()) thread_.join();
    for (int& fd : wakeFds_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    queue_.Close();
}

void ServerRequestListener::Loop() {
    int64_t lastPurge = 0;
    bool openFailed = false;
    while (!stop_) {
        if (!queue_.IsOpen()) {
            std::string error;
            if (!Open(error)) {
                if (!openFailed) {
                    QUAYD_LOG(-1, "ERROR: Server requests: cannot reach the configuration database: %s; "
                                  "trying again every %d ms", error.c_str(), kPollMs);
                }
                openFailed = true;
                queue_.Wait(kPollMs, wakeFds_[0]);
                continue;
            }
            QUAYD_LOG(openFailed ? -1 : 1, "INFO: Server requests: serving the requests for server [%s]",
                      serverName_.c_str());
            openFailed = false;
        }
        ServeWaiting();
        const int64_t now = SteadyMs();
        if (now - lastPurge >= kPurgeEveryMs) {
            lastPurge = now;
            int64_t removed = 0;
            if (!queue_.Purge(kKeepExpiredMs, &removed).IsError() && removed > 0) {
                QUAYD_LOG(1, "INFO: Server requests: %lld expired requests removed", static_cast<long long>(removed));
            }
        }
        if (!stop_) queue_.Wait(kPollMs, wakeFds_[0]);
    }
}

int ServerRequestListener::ServeWaiting() {
    int served = 0;
    while (!stop_) {
        ServerRequestQueue::Request request;
        bool found = false;
        // A failed take is the connection's to report (ConfigBackend).
        if (queue_.TakeNext(serverName_, request, found).IsError() || !found) break;
        const std::string response = Serve(request);
        const CPelError answered = queue_.Answer(request.id, response);
        if (answered.IsError()) {
            QUAYD_LOG(-1, "ERROR: Server request %lld: answer not written: %s", static_cast<long long>(request.id),
                      answered.Message().c_str());
        }
        ++served;
    }
    return served;
}

std::string ServerRequestListener::Serve(const ServerRequestQueue::Request& request) {
    std::string sender = request.sender.substr(0, kMaxSenderText);
    const std::string caller = "request " + std::to_string(request.id) + " from [" + sender + "] via the database";
    if (request.payload.size() > AdminChannel::kMaxRequestBytes) {
        QUAYD_LOG(1, "WARN: Admin %s refused: larger than %zu bytes", caller.c_str(), AdminChannel::kMaxRequestBytes);
        return AdminResult::Make(AdminProtocol::kBadRequest,
                                 "request larger than " + std::to_string(AdminChannel::kMaxRequestBytes) + " bytes")
            .ToMessage()
            .Encode();
    }
    KeyValueList message;
    std::string reason;
    if (!message.Decode(request.payload, reason)) {
        QUAYD_LOG(1, "WARN: Malformed admin %s: %s", caller.c_str(), reason.c_str());
        return AdminResult::Make(AdminProtocol::kBadRequest, "malformed request: " + reason).ToMessage().Encode();
    }
    try {
        return handler_(message, caller).Encode();
    } catch (const std::exception& e) {
        QUAYD_LOG(-1, "ERROR: Admin %s failed: %s", caller.c_str(), e.what());
        return AdminResult::Make(AdminProtocol::kInternalError, std::string("quayd failed: ") + e.what())
            .ToMessage()
            .Encode();
    }
}
