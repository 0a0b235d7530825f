// The admin client of bench/config_db_bench.sh: sends admin requests to a
// running quayd (its socket, or through the configuration database to a
// server by name) and prints their latencies. Not a test.
//   config_db_bench socket PATH latency SUBCLIENT STORE N
//       N rounds of export create, update, stats and unexport of /STORE;
//       median and 95th percentile of each, in ms
//   config_db_bench socket PATH define FIRST COUNT
//       client 1 and subclients FIRST.. FIRST+COUNT-1, each with store bSUBCLIENT
//   config_db_bench socket PATH count
//       the number of exports quayd lists
//   config_db_bench queue LOCATION SERVER latency SUBCLIENT STORE N
//       the same rounds through the request queue of the database
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "daemon/admin/AdminChannel.h"
#include "daemon/admin/AdminProtocol.h"
#include "daemon/admin/KeyValueList.h"
#include "daemon/quayadm/QuayAdmCommand.h"
#include "daemon/quayadm/RemoteAdmin.h"

namespace {

std::string gSocket;
std::string gLocation;
std::string gServer;

// The answer's code (-1 when there is none) and rows.
int Send(const std::vector<std::string>& args, std::string* text = nullptr, size_t* rows = nullptr) {
    KeyValueList request;
    std::string error;
    if (!QuayAdmCommand::BuildRequest(args, request, error)) {
        fprintf(stderr, "config_db_bench: %s\n", error.c_str());
        exit(2);
    }
    std::string answer;
    if (!gServer.empty()) {
        if (RemoteAdmin::Exchange(gLocation, gServer, request.Encode(), 30, answer, error) != 0) {
            fprintf(stderr, "config_db_bench: %s\n", error.c_str());
            return -1;
        }
    } else {
        int fd = -1;
        if (AdminChannel::Connect(gSocket, fd) != 0) return -1;
        AdminChannel::SetTimeouts(fd, 60);
        const bool ok = AdminChannel::SendFrame(fd, request.Encode()) == 0 &&
                        AdminChannel::ReceiveFrame(fd, AdminChannel::kMaxResponseBytes, answer) == 0;
        close(fd);
        if (!ok) return -1;
    }
    KeyValueList response;
    if (!response.Decode(answer, error)) return -1;
    std::string code;
    response.Get(AdminProtocol::kCodeField, code);
    if (text != nullptr) response.Get(AdminProtocol::kTextField, *text);
    // The first row is the header.
    if (rows != nullptr) *rows = response.GetAll(AdminProtocol::kRowField).size();
    return atoi(code.c_str());
}

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Report(const char* what, std::vector<double>& ms) {
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) return;
    printf("%-10s n=%zu median %.2f ms  p95 %.2f ms\n", what, ms.size(), ms[ms.size() / 2],
           ms[std::min(ms.size() - 1, ms.size() * 95 / 100)]);
}

int Latency(const std::string& subclient, const std::string& store, int rounds) {
    const std::string path = "/" + store;
    const char* names[] = {"create", "update", "stats", "unexport"};
    std::vector<std::vector<std::string>> requests = {{"export", "create", "live", subclient, path},
                                                      {"export", "update", "live", subclient, path},
                                                      {"stats", subclient, path},
                                                      {"export", "unexport", "live", subclient, path}};
    std::vector<std::vector<double>> times(requests.size());
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < requests.size(); ++i) {
            std::string text;
            const auto start = std::chrono::steady_clock::now();
            const int code = Send(requests[i], &text);
            times[i].push_back(Ms(std::chrono::steady_clock::now() - start));
            if (code != 0) {
                fprintf(stderr, "config_db_bench: %s answered %d: %s\n", names[i], code, text.c_str());
                return 1;
            }
        }
    }
    for (size_t i = 0; i < requests.size(); ++i) Report(names[i], times[i]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "socket") {
        gSocket = args[1];
        args.erase(args.begin(), args.begin() + 2);
    } else if (args.size() >= 3 && args[0] == "queue") {
        gLocation = args[1];
        gServer = args[2];
        args.erase(args.begin(), args.begin() + 3);
    } else {
        fprintf(stderr, "usage: see bench/config_db_bench.cpp\n");
        return 2;
    }
    if (args.size() == 4 && args[0] == "latency") return Latency(args[1], args[2], atoi(args[3].c_str()));
    if (args.size() == 3 && args[0] == "define") {
        const unsigned long first = strtoul(args[1].c_str(), nullptr, 10);
        const unsigned long count = strtoul(args[2].c_str(), nullptr, 10);
        Send({"add-client", "1", "bench"});
        const auto start = std::chrono::steady_clock::now();
        for (unsigned long id = first; id < first + count; ++id) {
            const std::string sub = std::to_string(id);
            std::string text;
            if (Send({"add-subclient", sub, "1", "b" + sub}, &text) != 0 ||
                Send({"define-store", sub, "1", "b" + sub}, &text) != 0) {
                fprintf(stderr, "config_db_bench: subclient %s: %s\n", sub.c_str(), text.c_str());
                return 1;
            }
        }
        printf("define     %lu subclients with a store in %.0f ms\n", count,
               Ms(std::chrono::steady_clock::now() - start));
        return 0;
    }
    if (args.size() == 1 && args[0] == "count") {
        size_t rows = 0;
        if (Send({"list-exports"}, nullptr, &rows) != 0) return 1;
        printf("%zu\n", rows);
        return 0;
    }
    fprintf(stderr, "usage: see bench/config_db_bench.cpp\n");
    return 2;
}
