// ServerStatistics: the figures of the running quayd in the two forms it
// gives them: the Prometheus text of its metrics endpoint (quayd --metrics)
// and the rows of quayadm stats. Both come from one gathering: the NFS
// service's counters (ServerMetrics), the shares served now (the host's
// export cache) and what their stores hold (StoreUsage).
//
// Thread safety: any thread; gathering reads thread-safe sources only.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "daemon/AdminResult.h"
#include "daemon/metrics/StoreUsage.h"
#include "nfsserver/ServerMetrics.h"

struct StatisticsInput {
    ServerMetrics::Snapshot nfs;
    std::vector<std::pair<uint32_t, std::string>> shares;  // served now: share id, path; by id
    std::vector<StoreFigures> stores;
};

class ServerStatistics {
public:
    using NfsSource = std::function<ServerMetrics::Snapshot()>;

    // stores is not owned and must outlive this object.
    ServerStatistics(NfsSource nfs, StoreUsage& stores) : nfs_(std::move(nfs)), stores_(stores) {}
    ServerStatistics(const ServerStatistics&) = delete;
    ServerStatistics& operator=(const ServerStatistics&) = delete;

    StatisticsInput Gather();
    std::string Prometheus() { return PrometheusFrom(Gather()); }
    // quayadm stats: code 0 and rows "name<TAB>value".
    AdminResult Rows() { return RowsFrom(Gather()); }

    static std::string PrometheusFrom(const StatisticsInput& input);
    static AdminResult RowsFrom(const StatisticsInput& input);

private:
    NfsSource nfs_;
    StoreUsage& stores_;
};
