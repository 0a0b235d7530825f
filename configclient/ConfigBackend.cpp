#include "configclient/ConfigBackend.h"

#include <cerrno>
#include <algorithm>
#include <chrono>

#include "configclient/PostgresConfigBackend.h"
#include "configclient/SqlText.h"
#include "configclient/SqliteConfigBackend.h"
#include "platform/ZelLogHook.h"

constexpr int64_t ConfigBackend::kFirstRetryMs;
constexpr int64_t ConfigBackend::kMaxRetryMs;
constexpr size_t ConfigBackend::kMaxErrorText;

namespace {

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool ConfigBackend::IsPostgresLocation(const std::string& location) {
    return location.compare(0, 13, "postgresql://") == 0 || location.compare(0, 11, "postgres://") == 0 ||
           PostgresConfigBackend::IsKeywordString(location);
}

bool ConfigBackend::HasPassword(const std::string& location) {
    return IsPostgresLocation(location) && PostgresConfigBackend::HasPassword(location);
}

std::string ConfigBackend::Describe(const std::string& location) {
    if (IsPostgresLocation(location)) return PostgresConfigBackend::DescribeUri(location);
    return SqlText::Printable(location, kMaxErrorText);
}

CPelError ConfigBackend::Connect(const std::string& location, std::unique_ptr<ConfigBackend>& backend) {
    backend.reset();
    if (location.empty()) return CPelError(EINVAL, "empty configuration database path");
    if (IsPostgresLocation(location)) return PostgresConfigBackend::Connect(location, backend);
    return SqliteConfigBackend::Connect(location, backend);
}

SqlResult ConfigBackend::Recover() {
    if (!lost_) {
        if (Connected()) return SqlResult::Ok();
        lost_ = true;
        retryAtMs_ = 0;
        ZelWarn(__PRETTY_FUNCTION__, __LINE__, "ERROR: Configuration database [%s]: connection lost; reconnecting",
                Describe(location_).c_str());
    }
    const int64_t now = SteadyMs();
    if (now < retryAtMs_) {
        return SqlResult::Fail(SqlResult::Outcome::kConnectionLost,
                               "no connection to the configuration database; next attempt in " +
                                   std::to_string(retryAtMs_ - now) + " ms");
    }
    const SqlResult reconnected = Reconnect();
    if (reconnected.ok()) {
        ZelWarn(__PRETTY_FUNCTION__, __LINE__,
                "INFO: Configuration database [%s]: connection restored after %d failed attempts",
                Describe(location_).c_str(), attempts_);
        lost_ = false;
        attempts_ = 0;
        retryDelayMs_ = kFirstRetryMs;
        return reconnected;
    }
    ++attempts_;
    retryAtMs_ = now + retryDelayMs_;
    ZelWarn(__PRETTY_FUNCTION__, __LINE__,
            "ERROR: Configuration database [%s]: reconnect attempt %d failed: %s; next attempt in %lld ms",
            Describe(location_).c_str(), attempts_, reconnected.message.c_str(),
            static_cast<long long>(retryDelayMs_));
    retryDelayMs_ = std::min(retryDelayMs_ * 2, kMaxRetryMs);
    return SqlResult::Fail(SqlResult::Outcome::kConnectionLost,
                           "no connection to the configuration database: " + reconnected.message);
}

SqlResult ConfigBackend::Run(const std::function<SqlResult()>& unit) {
    for (int attempt = 0;; ++attempt) {
        const SqlResult recovered = Recover();
        if (!recovered.ok()) return recovered;
        const SqlResult result = unit();
        const bool lost = result.outcome == SqlResult::Outcome::kConnectionLost ||
                          result.outcome == SqlResult::Outcome::kCommitUnknown;
        if (!lost) return result;
        if (!lost_) {
            lost_ = true;
            retryAtMs_ = 0;
            ZelWarn(__PRETTY_FUNCTION__, __LINE__, "ERROR: Configuration database [%s]: connection lost: %s%s",
                    Describe(location_).c_str(), result.message.c_str(),
                    result.outcome == SqlResult::Outcome::kCommitUnknown
                        ? " (while committing: the change was made whole or not at all)"
                        : "; reconnecting");
        }
        // Nothing of the unit was committed: it may run again, once.
        if (result.outcome == SqlResult::Outcome::kCommitUnknown || attempt > 0) return result;
    }
}

SqlResult ConfigBackend::Transaction(const std::function<SqlResult()>& body, bool schema) {
    SqlResult result = Begin(schema);
    if (!result.ok()) return result;
    result = body();
    if (!result.ok()) {
        EndTransaction(false);
        return result;
    }
    result = EndTransaction(true);
    if (result.outcome == SqlResult::Outcome::kConnectionLost) result.outcome = SqlResult::Outcome::kCommitUnknown;
    if (!result.ok() && result.outcome != SqlResult::Outcome::kCommitUnknown) EndTransaction(false);
    return result;
}
