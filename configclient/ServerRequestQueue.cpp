#include "configclient/ServerRequestQueue.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

#include "configclient/ConfigSchema.h"

constexpr char ServerRequestQueue::kRequestChannel[];
constexpr char ServerRequestQueue::kResponseChannel[];

namespace {

std::string Lower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CPelError ServerRequestQueue::Open(const std::string& location) {
    std::unique_ptr<ConfigBackend> opened;
    CPelError error = ConfigBackend::Connect(location, opened);
    if (!error.IsError()) error = ConfigSchema::Prepare(*opened, false);
    if (error.IsError()) return error;
    backend_ = std::move(opened);
    return CPelError::Success();
}

CPelError ServerRequestQueue::Run(const std::string& what, const std::function<SqlResult()>& unit) {
    if (!backend_) return CPelError(EIO, what + ": the request queue is not open");
    const SqlResult result = backend_->Run(unit);
    if (result.ok()) return CPelError::Success();
    return CPelError(EIO, what + ": " + result.message);
}

CPelError ServerRequestQueue::Post(const std::string& server, const std::string& sender, const std::string& payload,
                                   int64_t timeoutMs, int64_t& id) {
    if (server.empty()) return CPelError(EINVAL, "no server named for the request");
    if (timeoutMs < 1) return CPelError(EINVAL, "a request needs a time to wait of at least 1 ms");
    const std::string now = backend_ ? backend_->NowMs() : "0";
    return Run("cannot post the request for server [" + server + "]", [&]() {
        return backend_->Transaction([&]() {
            std::vector<SqlRow> rows;
            SqlResult result = backend_->Execute(
                "INSERT INTO admin_requests(server, sender, request, state, created_ms, deadline_ms) "
                "VALUES($1, $2, $3, 0, " + now + ", " + now + " + $4) RETURNING id",
                {SqlValue::Bytes(Lower(server)), SqlValue::Bytes(sender), SqlValue::Bytes(payload),
                 SqlValue::Int(timeoutMs)},
                &rows);
            if (result.ok() && rows.size() == 1) id = rows[0][0].integer;
            if (result.ok()) result = backend_->Notify(kRequestChannel, "");
            return result;
        });
    });
}

CPelError ServerRequestQueue::TakeNext(const std::string& server, Request& request, bool& found) {
    found = false;
    const std::string now = backend_ ? backend_->NowMs() : "0";
    return Run("cannot take requests for server [" + server + "]", [&]() {
        found = false;
        return backend_->Transaction([&]() {
            std::vector<SqlRow> rows;
            SqlResult result = backend_->Execute(
                "SELECT id, sender, request FROM admin_requests WHERE server = $1 AND state = 0 "
                "AND deadline_ms > " + now + " ORDER BY id LIMIT 1",
                {SqlValue::Bytes(Lower(server))}, &rows);
            if (!result.ok() || rows.empty()) return result;
            int64_t changed = 0;
            // Taken only while still waiting and in time: a sender that
            // withdrew it, or a deadline that passed meanwhile, wins.
            result = backend_->Execute("UPDATE admin_requests SET state = 1 WHERE id = $1 AND state = 0 "
                                       "AND deadline_ms > " + now,
                                       {SqlValue::Int(rows[0][0].integer)}, nullptr, &changed);
            if (result.ok() && changed == 1) {
                found = true;
                request.id = rows[0][0].integer;
                request.sender = rows[0][1].bytes;
                request.payload = rows[0][2].bytes;
            }
            return result;
        });
    });
}

CPelError ServerRequestQueue::Answer(int64_t id, const std::string& response) {
    int64_t changed = 0;
    const CPelError error = Run("cannot answer request " + std::to_string(id), [&]() {
        return backend_->Transaction([&]() {
            SqlResult result = backend_->Execute(
                "UPDATE admin_requests SET state = 2, response = $2 WHERE id = $1 AND state = 1",
                {SqlValue::Int(id), SqlValue::Bytes(response)}, nullptr, &changed);
            if (result.ok()) result = backend_->Notify(kResponseChannel, std::to_string(id));
            return result;
        });
    });
    if (error.IsError()) return error;
    if (changed == 0) return CPelError(ENOENT, "request " + std::to_string(id) + " is no longer waiting for an answer");
    return error;
}

CPelError ServerRequestQueue::Check(int64_t id, State& state, std::string& response) {
    std::vector<SqlRow> rows;
    const CPelError error = Run("cannot read request " + std::to_string(id), [&]() {
        rows.clear();
        return backend_->Execute("SELECT state, response FROM admin_requests WHERE id = $1", {SqlValue::Int(id)},
                                 &rows);
    });
    if (error.IsError()) return error;
    if (rows.empty()) {
        state = State::kGone;
        return error;
    }
    const int64_t value = rows[0][0].integer;
    state = value == 0 ? State::kWaiting : value == 1 ? State::kTaken : State::kAnswered;
    if (state == State::kAnswered) response = rows[0][1].bytes;
    return error;
}

CPelError ServerRequestQueue::Withdraw(int64_t id, bool& withdrawn) {
    int64_t changed = 0;
    const CPelError error = Run("cannot withdraw request " + std::to_string(id), [&]() {
        return backend_->Transaction([&]() {
            return backend_->Execute("DELETE FROM admin_requests WHERE id = $1 AND state = 0", {SqlValue::Int(id)},
                                     nullptr, &changed);
        });
    });
    withdrawn = !error.IsError() && changed == 1;
    return error;
}

CPelError ServerRequestQueue::Remove(int64_t id) {
    return Run("cannot remove request " + std::to_string(id), [&]() {
        return backend_->Transaction(
            [&]() { return backend_->Execute("DELETE FROM admin_requests WHERE id = $1", {SqlValue::Int(id)}); });
    });
}

CPelError ServerRequestQueue::Purge(int64_t keepMs, int64_t* removed) {
    int64_t changed = 0;
    const std::string now = backend_ ? backend_->NowMs() : "0";
    const CPelError error = Run("cannot purge old requests", [&]() {
        return backend_->Transaction([&]() {
            return backend_->Execute("DELETE FROM admin_requests WHERE deadline_ms < " + now + " - $1",
                                     {SqlValue::Int(keepMs)}, nullptr, &changed);
        });
    });
    if (removed != nullptr) *removed = changed;
    return error;
}

CPelError ServerRequestQueue::Listen(const char* channel) {
    return Run(std::string("cannot listen on ") + channel, [&]() { return backend_->Listen(channel); });
}

bool ServerRequestQueue::Wait(int timeoutMs, int wakeFd) {
    const int64_t start = SteadyMs();
    if (backend_ && backend_->WaitForNotification(timeoutMs, wakeFd)) return true;
    // A lost connection ends the backend's wait at once: the rest of the
    // time passes here.
    const int64_t left = timeoutMs - (SteadyMs() - start);
    if (left <= 0) return false;
    pollfd wake = {wakeFd, POLLIN, 0};
    return ::poll(&wake, wakeFd >= 0 ? 1 : 0, static_cast<int>(left)) > 0;
}
