#include "ClientGroup.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

ClientGroup::ClientGroup(std::string url, int clients) : url_(std::move(url)) {
    for (int i = 0; i < clients; ++i) connections_.push_back(std::make_unique<NfsConnection>());
}

bool ClientGroup::Mount() {
    for (auto& connection : connections_) {
        if (!connection->Mount(url_)) return false;
    }
    return true;
}

bool ClientGroup::Run(const Task& task, double& seconds) {
    std::promise<void> go;
    std::shared_future<void> started = go.get_future().share();
    std::atomic<bool> ok{true};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < connections_.size(); ++i) {
        threads.emplace_back([&, i] {
            started.wait();
            if (!task(*connections_[i], int(i))) ok = false;
        });
    }
    const auto start = std::chrono::steady_clock::now();
    go.set_value();
    for (std::thread& thread : threads) thread.join();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return ok;
}
