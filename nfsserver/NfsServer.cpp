#include "nfsserver/NfsServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpcb_clnt.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "nfsserver/NfsLog.h"

namespace {

// Open files are closed after this long without a call.
constexpr std::chrono::milliseconds kIdleClose(5000);
constexpr size_t kOpenFiles = 256;
constexpr char kRpcbindSocket[] = "/run/rpcbind.sock";

// What pmap_set does, with an address of our own: libtirpc's pmap_set frees
// the netbuf it builds but not the buffer inside it.
bool RegisterTcp(uint32_t program, uint32_t version, uint16_t port) {
    netconfig* tcp = getnetconfigent("tcp");
    if (tcp == nullptr) return false;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    netbuf address{sizeof(any), sizeof(any), &any};
    const bool ok = rpcb_set(program, version, tcp, &address);
    freenetconfigent(tcp);
    return ok;
}

uint16_t PeerPort(const sockaddr_storage& peer) {
    return ntohs(peer.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(peer).sin_port
                                           : reinterpret_cast<const sockaddr_in6&>(peer).sin6_port);
}

std::string PeerText(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof(text));
        return text;
    }
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, text, sizeof(text));
    std::string result = text;
    // An IPv4 client of a dual-stack socket is known by its IPv4 address.
    if (result.rfind("::ffff:", 0) == 0 && result.find('.') != std::string::npos) result = result.substr(7);
    return result;
}

}  // namespace

NfsServer::NfsServer(FSM& module) : files_(kOpenFiles, kIdleClose), service_(module, files_), nfs_(service_) {}

NfsServer::~NfsServer() { Stop(); }

int NfsServer::Listen(const std::string& address, uint16_t port, std::string& error) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof(*v4);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof(*v6);
    } else {
        error = "not a numeric address: " + address;
        return EINVAL;
    }
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + strerror(errno);
        return errno;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || listen(fd, 64) != 0) {
        const int saved = errno;
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + strerror(saved);
        close(fd);
        return saved;
    }
    Listener listener;
    listener.fd = fd;
    listener.port = port;
    listeners_.push_back(std::move(listener));
    return 0;
}

int NfsServer::Start(const NfsServerConfig& config, std::string& error) {
    // Connections of the running service use its polling and listeners.
    if (!listeners_.empty()) {
        error = "the NFS service is already running";
        return EBUSY;
    }
    config_ = config;
    if (config.nfsPort == 0) return 0;
    // Nothing runs yet that could hold the previous one.
    polling_ = std::make_unique<CallPolling>(config.pollMicroseconds, CallPolling::DefaultSlots());
    state_ = std::make_unique<Nfs4State>(std::chrono::seconds(config.leaseSeconds), Nfs4State::Limits(),
                                         Nfs4State::Clock::now, std::chrono::seconds(config.graceSeconds));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nfs4_ = std::make_unique<Nfs4Program>(service_, *state_);
    }
    int result = Listen(config.address, config.nfsPort, error);
    if (result == 0 && config.mountPort != 0 && config.mountPort != config.nfsPort) {
        result = Listen(config.address, config.mountPort, error);
    }
    if (result != 0) {
        for (Listener& listener : listeners_) close(listener.fd);
        listeners_.clear();
        return result;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    for (Listener& listener : listeners_) listener.thread = std::thread(&NfsServer::AcceptLoop, this, listener.fd);
    janitor_ = std::thread(&NfsServer::Janitor, this);
    Register(true);
    NFS_LOG(-1, "INFO: NFS service listening on [%s] port [%u], mount port [%u]; NFSv4 lease [%u] s, grace [%u] s",
            config.address.c_str(), config.nfsPort, config.mountPort != 0 ? config.mountPort : config.nfsPort,
            config.leaseSeconds, config.graceSeconds < 0 ? config.leaseSeconds : unsigned(config.graceSeconds));
    return 0;
}

void NfsServer::Register(bool set) {
    // rpcbind is optional: without its socket we skip registering rather
    // than wait for a timeout.
    if (!config_.registerWithRpcbind || access(kRpcbindSocket, F_OK) != 0) return;
    if (set == registered_) return;
    const uint16_t mountPort = config_.mountPort != 0 ? config_.mountPort : config_.nfsPort;
    if (set) {
        pmap_unset(nfs_.Number(), nfs_.Version());
        pmap_unset(nfs4_->Number(), nfs4_->Version());
        pmap_unset(mount_.Number(), mount_.Version());
        const bool ok = RegisterTcp(nfs_.Number(), nfs_.Version(), config_.nfsPort) &&
                        RegisterTcp(nfs4_->Number(), nfs4_->Version(), config_.nfsPort) &&
                        RegisterTcp(mount_.Number(), mount_.Version(), mountPort);
        NFS_LOG(ok ? 1 : -1, "%s: NFS: registration with rpcbind %s", ok ? "INFO" : "WARN",
                ok ? "done" : "failed");
        registered_ = ok;
    } else {
        pmap_unset(nfs_.Number(), nfs_.Version());
        pmap_unset(nfs4_->Number(), nfs4_->Version());
        pmap_unset(mount_.Number(), mount_.Version());
        registered_ = false;
    }
}

void NfsServer::AcceptLoop(int fd) {
    while (true) {
        sockaddr_storage peer{};
        socklen_t length = sizeof(peer);
        const int client = accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                if (client >= 0) close(client);
                return;
            }
        }
        if (client < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            } else if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
                NFS_LOG(-1, "ERROR: NFS: accept failed, errno [%d]", errno);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            continue;
        }
        const int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        Admit(client, PeerText(peer), PeerPort(peer));
    }
}

void NfsServer::Admit(int fd, const std::string& peer, uint16_t port) {
    // Only root may bind a port below 1024 on the client's machine.
    if (config_.securePorts && port >= 1024) {
        uint64_t heldBack = 0;
        if (insecure_.Admit(heldBack)) {
            NFS_LOG(-1, "WARN: NFS: connection from [%s] port [%u] refused: not a reserved port; [%llu] refused "
                    "since the last such line", peer.c_str(), port, static_cast<unsigned long long>(heldBack + 1));
        }
        metrics_.ConnectionRefused(ServerMetrics::Refusal::kInsecurePort);
        close(fd);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_ >= config_.maxConnections) {
        NoteRefusal(peer);
        metrics_.ConnectionRefused(ServerMetrics::Refusal::kConnectionLimit);
        close(fd);
        return;
    }
    std::vector<RpcProgram*> programs{&nfs_, nfs4_.get(), &mount_};
    auto connection = std::make_shared<RpcConnection>(fd, peer, programs, polling_.get(), &metrics_);
    ++open_;
    metrics_.ConnectionOpened();
    connections_.push_back(Connection{connection, std::thread([this, connection] {
                                          connection->Run();
                                          Closed();
                                      })});
}

void NfsServer::Closed() {
    metrics_.ConnectionClosed();
    std::lock_guard<std::mutex> lock(mutex_);
    --open_;
    ++closedUnjoined_;
    wake_.notify_all();
}

void NfsServer::NoteRefusal(const std::string& peer) {
    uint64_t heldBack = 0;
    if (!refusals_.Admit(heldBack)) return;
    NFS_LOG(-1, "WARN: NFS: connection from [%s] refused: [%zu] connections open, the limit; [%llu] refused since "
            "the last such line", peer.c_str(), open_, static_cast<unsigned long long>(heldBack + 1));
}

void NfsServer::Janitor() {
    std::unique_lock<std::mutex> lock(mutex_);
    auto nextIdleCheck = std::chrono::steady_clock::now();
    while (!stopping_) {
        wake_.wait_until(lock, nextIdleCheck, [this] { return stopping_ || closedUnjoined_ > 0; });
        if (stopping_) break;
        lock.unlock();
        if (std::chrono::steady_clock::now() >= nextIdleCheck) {
            files_.CloseIdle();
            state_->ExpireLeases();
            nextIdleCheck = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        }
        Reap();
        lock.lock();
    }
}

void NfsServer::Reap() {
    std::list<Connection> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (it->connection->Finished()) {
                finished.splice(finished.end(), connections_, it++);
            } else {
                ++it;
            }
        }
    }
    for (Connection& connection : finished) connection.thread.join();
    std::lock_guard<std::mutex> lock(mutex_);
    closedUnjoined_ -= std::min(closedUnjoined_, finished.size());
}

void NfsServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || listeners_.empty()) return;
        stopping_ = true;
    }
    wake_.notify_all();
    Register(false);
    for (Listener& listener : listeners_) shutdown(listener.fd, SHUT_RDWR);
    for (Listener& listener : listeners_) {
        if (listener.thread.joinable()) listener.thread.join();
        close(listener.fd);
    }
    listeners_.clear();
    if (janitor_.joinable()) janitor_.join();
    std::list<Connection> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all.swap(connections_);
    }
    for (Connection& connection : all) connection.connection->Shutdown();
    for (Connection& connection : all) connection.thread.join();
    // The state's opens hold descriptors: they close before the module may go.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nfs4_.reset();
    }
    state_.reset();
    files_.Clear();
    NFS_LOG(-1, "INFO: NFS service stopped");
}

ServerMetrics::Snapshot NfsServer::Statistics() {
    ServerMetrics::Snapshot snapshot = metrics_.Take();
    auto addCache = [&snapshot](const DuplicateRequestCache& cache) {
        snapshot.replyCacheHits += cache.Replays();
        snapshot.replyCacheInProgress += cache.InProgress();
        snapshot.replyCacheEntries += cache.Size();
    };
    addCache(nfs_.ReplyCache());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (nfs4_) addCache(nfs4_->ReplyCache());
    }
    snapshot.openFilesCached = files_.Size();
    return snapshot;
}
