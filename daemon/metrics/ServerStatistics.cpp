#include "daemon/metrics/ServerStatistics.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>

#include "daemon/QuaydVersion.h"
#include "daemon/metrics/PrometheusText.h"
#include "host/ExportCache.h"

namespace {

using Labels = PrometheusText::Labels;

Labels ProcedureLabels(const ServerMetrics::ProcedureCounts& counts) {
    return {{"program", counts.protocol}, {"version", std::to_string(counts.version)}, {"procedure", counts.name}};
}

std::string ShareIdText(uint32_t id) { return id == 0 ? "other" : std::to_string(id); }

// Served shares and shares with traffic, by id, with the path of those served.
std::vector<std::pair<ServerMetrics::ShareCounts, std::string>> ShareRows(const StatisticsInput& input) {
    std::map<uint32_t, std::pair<ServerMetrics::ShareCounts, std::string>> rows;
    for (const auto& share : input.shares) {
        rows[share.first].first.shareId = share.first;
        rows[share.first].second = share.second;
    }
    for (const ServerMetrics::ShareCounts& counts : input.nfs.shares) rows[counts.shareId].first = counts;
    std::vector<std::pair<ServerMetrics::ShareCounts, std::string>> ordered;
    for (auto& row : rows) ordered.push_back(row.second);
    return ordered;
}

void WriteProcedures(const ServerMetrics::Snapshot& nfs, PrometheusText& out) {
    out.Family("quay_rpc_calls_total", "counter", "Calls of each procedure of MOUNT and NFS, by program version.");
    for (const auto& counts : nfs.procedures) {
        if (!counts.operation) out.Sample("quay_rpc_calls_total", ProcedureLabels(counts), counts.calls);
    }
    out.Family("quay_rpc_errors_total", "counter",
               "Replies whose status was not OK, by procedure and status (NFSv4: the COMPOUND's status).");
    for (const auto& counts : nfs.procedures) {
        if (counts.operation) continue;
        for (const auto& error : counts.errors) {
            Labels labels = ProcedureLabels(counts);
            labels.emplace_back("status", error.first);
            out.Sample("quay_rpc_errors_total", labels, error.second);
        }
    }
    std::vector<double> bounds;
    for (uint64_t us : ServerMetrics::kBucketBoundsUs) bounds.push_back(static_cast<double>(us) / 1e6);
    out.Family("quay_rpc_duration_seconds", "histogram", "Time from a call's arrival to its reply.");
    for (const auto& counts : nfs.procedures) {
        if (!counts.timed || counts.calls == 0) continue;
        out.Histogram("quay_rpc_duration_seconds", ProcedureLabels(counts), bounds,
                      std::vector<uint64_t>(counts.buckets.begin(), counts.buckets.end()),
                      static_cast<double>(counts.sumNanoseconds) / 1e9);
    }
    out.Family("quay_rpc_rejected_total", "counter",
               "Calls answered with an RPC error instead of a reply of their procedure, by error.");
    for (size_t i = 0; i < ServerMetrics::kRpcErrors; ++i) {
        out.Sample("quay_rpc_rejected_total", {{"error", ServerMetrics::RpcErrorName(static_cast<ServerMetrics::RpcError>(i))}},
                   nfs.rpcErrors[i]);
    }
    out.Family("quay_nfs4_operations_total", "counter", "NFSv4 operations run inside COMPOUNDs.");
    for (const auto& counts : nfs.procedures) {
        if (counts.operation) out.Sample("quay_nfs4_operations_total", {{"operation", counts.name}}, counts.calls);
    }
    out.Family("quay_nfs4_operation_errors_total", "counter", "NFSv4 operations whose status was not OK, by status.");
    for (const auto& counts : nfs.procedures) {
        if (!counts.operation) continue;
        for (const auto& error : counts.errors) {
            out.Sample("quay_nfs4_operation_errors_total", {{"operation", counts.name}, {"status", error.first}},
                       error.second);
        }
    }
}

void WriteService(const ServerMetrics::Snapshot& nfs, PrometheusText& out) {
    out.Family("quay_nfs_read_bytes_total", "counter", "File data sent by READ.");
    out.Sample("quay_nfs_read_bytes_total", {}, nfs.readBytes);
    out.Family("quay_nfs_written_bytes_total", "counter", "File data taken by WRITE.");
    out.Sample("quay_nfs_written_bytes_total", {}, nfs.writtenBytes);
    out.Family("quay_nfs_connections_open", "gauge", "NFS and MOUNT connections open now.");
    out.Sample("quay_nfs_connections_open", {}, nfs.connectionsAccepted - std::min(nfs.connectionsAccepted, nfs.connectionsClosed));
    out.Family("quay_nfs_connections_accepted_total", "counter", "NFS and MOUNT connections served.");
    out.Sample("quay_nfs_connections_accepted_total", {}, nfs.connectionsAccepted);
    out.Family("quay_nfs_connections_refused_total", "counter", "Connections closed at once, by reason.");
    for (size_t i = 0; i < ServerMetrics::kRefusals; ++i) {
        out.Sample("quay_nfs_connections_refused_total",
                   {{"reason", ServerMetrics::RefusalName(static_cast<ServerMetrics::Refusal>(i))}}, nfs.refusals[i]);
    }
    out.Family("quay_nfs_reply_cache_hits_total", "counter",
               "Retransmitted calls answered with the reply kept from their first run.");
    out.Sample("quay_nfs_reply_cache_hits_total", {}, nfs.replyCacheHits);
    out.Family("quay_nfs_reply_cache_dropped_total", "counter", "Retransmitted calls dropped while their first run went on.");
    out.Sample("quay_nfs_reply_cache_dropped_total", {}, nfs.replyCacheInProgress);
    out.Family("quay_nfs_reply_cache_entries", "gauge", "Replies kept for retransmissions now.");
    out.Sample("quay_nfs_reply_cache_entries", {}, nfs.replyCacheEntries);
    out.Family("quay_nfs_listing_pages_prepared_total", "counter",
               "READDIRPLUS pages prepared while the client read the page before.");
    out.Sample("quay_nfs_listing_pages_prepared_total", {}, nfs.listingPagesPrepared);
    out.Family("quay_nfs_listing_pages_answered_ahead_total", "counter",
               "READDIRPLUS calls answered with the page prepared for them.");
    out.Sample("quay_nfs_listing_pages_answered_ahead_total", {}, nfs.listingPagesAnswered);
    out.Family("quay_nfs_reads_prepared_total", "counter",
               "READ replies prepared while the client took in the reply before.");
    out.Sample("quay_nfs_reads_prepared_total", {}, nfs.readsPrepared);
    out.Family("quay_nfs_reads_answered_ahead_total", "counter", "READ calls answered with the reply prepared for them.");
    out.Sample("quay_nfs_reads_answered_ahead_total", {}, nfs.readsAnswered);
    out.Family("quay_nfs_open_files_cached", "gauge", "Files held open between READs and WRITEs now.");
    out.Sample("quay_nfs_open_files_cached", {}, nfs.openFilesCached);
}

void WriteShares(const StatisticsInput& input, PrometheusText& out) {
    out.Family("quay_shares", "gauge", "Shares served now.");
    out.Sample("quay_shares", {}, static_cast<uint64_t>(input.shares.size()));
    const auto shares = ShareRows(input);
    const std::pair<const char*, uint64_t ServerMetrics::ShareCounts::*> families[] = {
        {"quay_share_read_bytes_total", &ServerMetrics::ShareCounts::readBytes},
        {"quay_share_written_bytes_total", &ServerMetrics::ShareCounts::writtenBytes},
        {"quay_share_reads_total", &ServerMetrics::ShareCounts::reads},
        {"quay_share_writes_total", &ServerMetrics::ShareCounts::writes},
    };
    const char* helps[] = {"File data sent by READ from the share.", "File data taken by WRITE into the share.",
                           "READs of the share that succeeded.", "WRITEs into the share that succeeded."};
    for (size_t f = 0; f < std::size(families); ++f) {
        out.Family(families[f].first, "counter", helps[f]);
        for (const auto& share : shares) {
            out.Sample(families[f].first, {{"share", share.second}, {"share_id", ShareIdText(share.first.shareId)}},
                       share.first.*families[f].second);
        }
    }
    out.Family("quay_store_objects", "gauge", "Objects of the live state of a served share's store, by type.");
    for (const StoreFigures& store : input.stores) {
        out.Sample("quay_store_objects", {{"store", store.store}, {"type", "file"}}, store.files);
        out.Sample("quay_store_objects", {{"store", store.store}, {"type", "directory"}}, store.directories);
        out.Sample("quay_store_objects", {{"store", store.store}, {"type", "symlink"}}, store.symlinks);
    }
    const std::pair<const char*, uint64_t StoreFigures::*> sizes[] = {
        {"quay_store_versions", &StoreFigures::versions},
        {"quay_store_logical_bytes", &StoreFigures::logicalBytes},
        {"quay_store_stored_bytes", &StoreFigures::storedBytes},
        {"quay_store_disk_bytes", &StoreFigures::diskBytes},
    };
    const char* sizeHelps[] = {"File versions the store keeps.", "Sizes of the live files of the store.",
                               "File data the store keeps, every version.",
                               "Bytes on disk of the store's folder: data, metadata, history."};
    for (size_t s = 0; s < std::size(sizes); ++s) {
        out.Family(sizes[s].first, "gauge", sizeHelps[s]);
        for (const StoreFigures& store : input.stores) {
            out.Sample(sizes[s].first, {{"store", store.store}}, store.*sizes[s].second);
        }
    }
}

std::string Milliseconds(double ms) {
    char text[32];
    snprintf(text, sizeof(text), "%.3f ms", ms);
    return text;
}

// Mean, and the bound below which 99% of the calls took, for people.
std::string LatencyText(const ServerMetrics::ProcedureCounts& counts) {
    const double mean = static_cast<double>(counts.sumNanoseconds) / 1e6 / static_cast<double>(counts.calls);
    uint64_t seen = 0;
    size_t bucket = 0;
    for (; bucket < counts.buckets.size(); ++bucket) {
        seen += counts.buckets[bucket];
        if (seen * 100 >= counts.calls * 99) break;
    }
    const std::string within = bucket < ServerMetrics::kBucketBoundsUs.size()
                                   ? "99% within " + Milliseconds(ServerMetrics::kBucketBoundsUs[bucket] / 1000.0)
                                   : "99% over " + Milliseconds(ServerMetrics::kBucketBoundsUs.back() / 1000.0);
    return "mean " + Milliseconds(mean) + ", " + within;
}

}  // namespace

StatisticsInput ServerStatistics::Gather() {
    StatisticsInput input;
    input.nfs = nfs_();
    std::vector<std::string> stores;
    for (const ExportPtr& exp : gAllExports->List()) {
        input.shares.emplace_back(exp->GetShareId(), exp->GetPath());
        std::string type;
        const bool pit = exp->GetOptionalParam("exportType", type) && type == "2";
        const std::string store = StoreUsage::StoreOfShare(exp->GetPath(), pit);
        if (std::find(stores.begin(), stores.end(), store) == stores.end()) stores.push_back(store);
    }
    std::sort(input.shares.begin(), input.shares.end());
    std::sort(stores.begin(), stores.end());
    input.stores = stores_.Measure(stores);
    return input;
}

std::string ServerStatistics::PrometheusFrom(const StatisticsInput& input) {
    PrometheusText out;
    out.Family("quay_build_info", "gauge", "quayd's version.");
    out.Sample("quay_build_info", {{"version", kQuaydVersion}}, uint64_t{1});
    WriteProcedures(input.nfs, out);
    WriteService(input.nfs, out);
    WriteShares(input, out);
    return out.Text();
}

AdminResult ServerStatistics::RowsFrom(const StatisticsInput& input) {
    const ServerMetrics::Snapshot& nfs = input.nfs;
    const uint64_t open = nfs.connectionsAccepted - std::min(nfs.connectionsAccepted, nfs.connectionsClosed);
    AdminResult result = AdminResult::Ok("quayd " + std::string(kQuaydVersion) + ": " +
                                         std::to_string(input.shares.size()) + " shares, " + std::to_string(open) +
                                         " NFS connections open");
    auto row = [&result](const std::string& name, uint64_t value) { result.AddRow({name, std::to_string(value)}); };
    row("connections open", open);
    row("connections accepted", nfs.connectionsAccepted);
    row("connections refused at the limit", nfs.refusals[static_cast<size_t>(ServerMetrics::Refusal::kConnectionLimit)]);
    row("connections refused from unreserved ports",
        nfs.refusals[static_cast<size_t>(ServerMetrics::Refusal::kInsecurePort)]);
    row("bytes read", nfs.readBytes);
    row("bytes written", nfs.writtenBytes);
    row("retransmissions answered from kept replies", nfs.replyCacheHits);
    row("retransmissions dropped while running", nfs.replyCacheInProgress);
    row("replies kept", nfs.replyCacheEntries);
    row("open files cached", nfs.openFilesCached);
    row("listing pages prepared ahead", nfs.listingPagesPrepared);
    row("listing pages answered ahead", nfs.listingPagesAnswered);
    row("reads prepared ahead", nfs.readsPrepared);
    row("reads answered ahead", nfs.readsAnswered);
    for (size_t i = 0; i < ServerMetrics::kRpcErrors; ++i) {
        if (nfs.rpcErrors[i] == 0) continue;
        row(std::string("calls refused with ") + ServerMetrics::RpcErrorName(static_cast<ServerMetrics::RpcError>(i)),
            nfs.rpcErrors[i]);
    }
    for (const auto& counts : nfs.procedures) {
        if (counts.calls == 0) continue;
        const std::string name = counts.operation ? std::string("nfs v4 operation ") + counts.name
                                                  : std::string(counts.protocol) + " v" +
                                                        std::to_string(counts.version) + " " + counts.name;
        row(name + " calls", counts.calls);
        for (const auto& error : counts.errors) row(name + " errors " + error.first, error.second);
        if (counts.timed) result.AddRow({name + " latency", LatencyText(counts)});
    }
    for (const auto& share : ShareRows(input)) {
        const std::string name = "share " + (share.second.empty() ? std::string("(not served)") : share.second) +
                                 " (id " + ShareIdText(share.first.shareId) + ")";
        row(name + " reads", share.first.reads);
        row(name + " bytes read", share.first.readBytes);
        row(name + " writes", share.first.writes);
        row(name + " bytes written", share.first.writtenBytes);
    }
    for (const StoreFigures& store : input.stores) {
        const std::string name = "store " + store.store;
        row(name + " files", store.files);
        row(name + " directories", store.directories);
        row(name + " symbolic links", store.symlinks);
        row(name + " versions", store.versions);
        row(name + " logical bytes", store.logicalBytes);
        row(name + " stored bytes", store.storedBytes);
        row(name + " bytes on disk", store.diskBytes);
    }
    return result;
}
