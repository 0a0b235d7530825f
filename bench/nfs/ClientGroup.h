#pragma once

#include "NfsConnection.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Clients working at once, each on its own connection (own TCP stream, own
// thread), as separate NFS clients would. Connections are mounted before any
// timing starts.
class ClientGroup {
public:
    // task(connection, client index) returns false on failure.
    using Task = std::function<bool(NfsConnection&, int)>;

    ClientGroup(std::string url, int clients);

    bool Mount();

    // Runs task on every client from a common start; seconds is the time to
    // the last client's end. False when any task failed.
    bool Run(const Task& task, double& seconds);

    NfsConnection& First() { return *connections_.front(); }

private:
    std::string url_;
    std::vector<std::unique_ptr<NfsConnection>> connections_;
};
