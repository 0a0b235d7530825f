// quayd: the host process. Locks its data directory, loads the BackupFSM
// module as the host does, restores the saved exports, serves the admin socket,
// NFS and (with --metrics) its metrics, tells systemd it is ready, and runs
// until a stop signal (see DaemonSignals); then saves the exports and unloads
// the module cleanly.
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "configclient/ConfigDatabase.h"
#include "daemon/AdminRequestHandler.h"
#include "daemon/AdminServer.h"
#include "daemon/ConfigAdmin.h"
#include "daemon/DaemonSignals.h"
#include "daemon/DataDirLock.h"
#include "daemon/ExportPersistence.h"
#include "daemon/ModuleLoader.h"
#include "daemon/QuaydLog.h"
#include "daemon/QuaydOptions.h"
#include "daemon/PruneScheduler.h"
#include "daemon/ServerRequestListener.h"
#include "daemon/StorePruning.h"
#include "daemon/SystemdNotify.h"
#include "daemon/metrics/MetricsServer.h"
#include "daemon/metrics/PrometheusText.h"
#include "daemon/metrics/ServerStatistics.h"
#include "daemon/metrics/StoreUsage.h"
#include "host/LogWriter.h"
#include "host/QuayServiceGlobals.h"
#include "nfsserver/NfsServer.h"
#include "platform/ZelDataDir.h"

namespace {

std::string ExecutableDir() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (length <= 0) return ".";
    std::string path(buffer, static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The build tree's layout (bin/quayd, lib/libBackupFSM.so), else the
// package's (/usr/sbin/quayd, /usr/lib/quay/libBackupFSM.so).
std::string DefaultModulePath() {
    const std::string built = ExecutableDir() + "/../lib/libBackupFSM.so";
    const std::string installed = ExecutableDir() + "/../lib/quay/libBackupFSM.so";
    return access(built.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0 ? installed : built;
}

// mkdir -p
bool MakeDirs(const std::string& path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
        if (i < path.size()) partial += path[i];
    }
    return true;
}

// systemd waits for READY=1 (Type=notify): a failure to tell it is logged,
// and the start then times out there, where an administrator looks.
void NotifySystemd(const SystemdNotify& notify, const std::string& state) {
    const int error = notify.Notify(state);
    if (error != 0) {
        QUAYD_LOG(-1, "ERROR: Cannot notify systemd at [%s]: %s", notify.Address().c_str(), strerror(error));
    }
}

int PrintInfo(ModuleLoader& loader) {
    FSM* module = loader.module();
    printf("Name: %s\nType: %d\nDetails: %s\n", module->GetFSMName().c_str(), module->GetFSMType(),
           module->GetFSMDetails().c_str());
    return 0;
}

// Exports that appear without an admin request (re-exports at start) are
// saved within this many seconds.
constexpr int kSaveCheckSeconds = 10;
// Measuring a store scans it: scrapes and quayadm stats within this long
// share one measurement.
constexpr std::chrono::seconds kStoreFiguresAge(10);

// Serves signals until one stops quayd, saving the exports now and then; the
// stop signal.
int WaitForStop(DaemonSignals& signals, ExportPersistence& persistence) {
    while (true) {
        int signal = 0;
        switch (signals.Wait(kSaveCheckSeconds, signal)) {
            case DaemonSignals::Event::kStop:
                return signal;
            case DaemonSignals::Event::kTimeout:
                persistence.Save(false);
                break;
            case DaemonSignals::Event::kReopenLog:
                if (g_ptrLogWriter->Reopen()) {
                    QUAYD_LOG(-1, "INFO: Log file reopened on signal [%d]", signal);
                } else {
                    const int error = errno;
                    fprintf(stderr, "quayd: cannot reopen the log file: %s\n", strerror(error));
                    QUAYD_LOG(-1, "ERROR: Log file not reopened on signal [%d]: %s", signal, strerror(error));
                }
                break;
        }
    }
}

int Serve(const QuaydOptions& options, ModuleLoader& loader, DaemonSignals& signals, const SystemdNotify& notify) {
    FSM& module = *loader.module();
    const std::string dataDir = ZelDataDir();
    const std::string socketPath = options.adminSocket.empty() ? dataDir + "/quayd.sock" : options.adminSocket;
    ConfigAdmin config(ConfigDatabase::Instance(), QuayServiceGlobals::clientName);
    ExportPersistence persistence(dataDir + "/exports.saved", module.GetFSMType(),
                                  [&config](unsigned long subclientId, const std::string& path) {
                                      return config.IsShareOfThisServer(subclientId, path);
                                  });
    StorePruning pruning(ConfigDatabase::Instance(), QuayServiceGlobals::clientName);
    NfsServer nfs(module);
    StoreUsage stores(kStoreFiguresAge);
    ServerStatistics statistics([&nfs] { return nfs.Statistics(); }, stores);
    MetricsServer metrics("/metrics", PrometheusText::kContentType, [&statistics] { return statistics.Prometheus(); });
    AdminRequestHandler handler(module, config, persistence, pruning, &statistics);
    // The admin socket and the requests of other servers (through a shared
    // PostgreSQL configuration database) take turns.
    std::mutex handlerMutex;
    auto handle = [&handler, &handlerMutex](const KeyValueList& request, const std::string& caller) {
        std::lock_guard<std::mutex> lock(handlerMutex);
        return handler.Handle(request, caller);
    };
    AdminServer server(handle);
    const bool shared = ConfigBackend::IsPostgresLocation(ConfigDatabase::Instance().Path());
    ServerRequestListener requests(ConfigDatabase::Instance().Path(), QuayServiceGlobals::clientName, handle);
    // Opened before the exports come back: a socket path in use stops quayd
    // before it touches them.
    int error = server.Open(socketPath);
    if (error != 0) {
        const char* reason = error == EADDRINUSE ? "another quayd answers there" : strerror(error);
        fprintf(stderr, "quayd: cannot open admin socket %s: %s\n", socketPath.c_str(), reason);
        QUAYD_LOG(-1, "ERROR: Cannot open admin socket [%s]: %s", socketPath.c_str(), reason);
        loader.Unload();
        return 1;
    }
    persistence.Restore(module);
    module.FinalizeExports();
    PruneScheduler pruner(pruning);
    auto stop = [&](int status) {
        requests.Stop();
        metrics.Stop();
        pruner.Stop();
        nfs.Stop();
        server.Stop();
        persistence.Save(true);
        loader.Unload();
        QUAYD_LOG(-1, "INFO: quayd stopped");
        return status;
    };
    error = server.Start();
    if (error != 0) {
        fprintf(stderr, "quayd: cannot serve admin socket %s: %s\n", socketPath.c_str(), strerror(error));
        QUAYD_LOG(-1, "ERROR: Cannot serve admin socket [%s]: %s", socketPath.c_str(), strerror(error));
        return stop(1);
    }
    // NFS is what quayd is for: one that cannot listen where it was told to
    // stops instead of running without it.
    std::string nfsError;
    if (nfs.Start(options.nfs, nfsError) != 0) {
        fprintf(stderr, "quayd: cannot serve NFS: %s\n", nfsError.c_str());
        QUAYD_LOG(-1, "ERROR: NFS service not started: %s", nfsError.c_str());
        return stop(1);
    }
    if (!options.metricsAddress.empty() && metrics.Start(options.metricsAddress, options.metricsPort, nfsError) != 0) {
        fprintf(stderr, "quayd: cannot serve metrics: %s\n", nfsError.c_str());
        QUAYD_LOG(-1, "ERROR: Metrics not served: %s", nfsError.c_str());
        return stop(1);
    }
    pruner.Start();
    std::string requestsError;
    if (shared && !requests.Start(requestsError)) {
        fprintf(stderr, "quayd: cannot serve the requests of other servers: %s\n", requestsError.c_str());
        QUAYD_LOG(-1, "ERROR: Server requests not served: %s", requestsError.c_str());
        return stop(1);
    }
    QUAYD_LOG(-1, "INFO: quayd started: module [%s] type [%d], data directory [%s]",
              module.GetFSMName().c_str(), module.GetFSMType(), dataDir.c_str());
    QUAYD_LOG(1, "INFO: quayd admin socket [%s], server name [%s], configuration database [%s]", socketPath.c_str(),
              QuayServiceGlobals::clientName.c_str(), ConfigDatabase::Instance().Describe().c_str());

    // Every listener is up: clients may come.
    const std::string status = options.nfs.nfsPort == 0 ? std::string("serving the admin socket, no NFS service")
                                                         : "serving NFS on " + options.nfs.address + " port " +
                                                               std::to_string(options.nfs.nfsPort);
    NotifySystemd(notify, "READY=1\nSTATUS=" + status + "\nMAINPID=" + std::to_string(getpid()));
    const int stopSignal = WaitForStop(signals, persistence);
    QUAYD_LOG(-1, "INFO: quayd stopping on signal [%d]", stopSignal);
    NotifySystemd(notify, "STOPPING=1");
    return stop(0);
}

}  // namespace

int main(int argc, char** argv) {
    QuaydOptions options;
    std::string error;
    if (!options.Parse(argc, argv, error)) {
        fprintf(stderr, "quayd: %s\n%s", error.c_str(), QuaydOptions::Usage().c_str());
        return 2;
    }
    if (options.help || options.version) {
        fputs(options.help ? QuaydOptions::Help().c_str() : QuaydOptions::Version().c_str(), stdout);
        return 0;
    }
    if (ConfigBackend::HasPassword(options.configDb)) {
        fprintf(stderr, "quayd: --config-db must not carry a password (every user can read command lines); "
                        "give it in QUAY_CONFIG_DB, a service file or PGPASSFILE\n");
        return 2;
    }
    // Before any thread starts: it changes the environment.
    const SystemdNotify notify = SystemdNotify::FromEnvironment();
    if (!options.dataDir.empty()) setenv("QUAY_DATA_DIR", options.dataDir.c_str(), 1);
    if (options.logLevel != -2) g_ptrLogWriter->SetLevel(options.logLevel);

    // Before any thread starts, so only the main thread takes the signals.
    DaemonSignals signals;
    signals.Block();

    ModuleLoader loader;
    const std::string modulePath = options.modulePath.empty() ? DefaultModulePath() : options.modulePath;

    if (options.info) {
        if (!loader.Load(modulePath)) {
            fprintf(stderr, "quayd: cannot load module: %s\n", loader.error().c_str());
            return 1;
        }
        return PrintInfo(loader);
    }

    const std::string dataDir = ZelDataDir();
    if (!MakeDirs(dataDir)) {
        fprintf(stderr, "quayd: cannot create data directory %s\n", dataDir.c_str());
        return 1;
    }
    // First of all: a second quayd on the directory must not open its log,
    // database or socket, let alone change them.
    DataDirLock lock;
    pid_t holder = 0;
    const int lockError = lock.Acquire(dataDir, holder);
    if (lockError == EWOULDBLOCK) {
        const std::string who = holder > 0 ? "quayd pid " + std::to_string(holder) : std::string("another quayd");
        fprintf(stderr, "quayd: data directory %s is in use by %s; stop it first or use another --data-dir\n",
                dataDir.c_str(), who.c_str());
        return 1;
    }
    if (lockError != 0) {
        fprintf(stderr, "quayd: cannot lock data directory %s (%s/%s): %s\n", dataDir.c_str(), dataDir.c_str(),
                DataDirLock::kFileName, strerror(lockError));
        return 1;
    }
    const std::string logFile = options.logFile.empty() ? dataDir + "/quayd.log" : options.logFile;
    if (!g_ptrLogWriter->OpenFile(logFile)) {
        fprintf(stderr, "quayd: cannot open log file %s: %s\n", logFile.c_str(), strerror(errno));
        return 1;
    }
    g_ptrLogWriter->SetRotation(static_cast<uint64_t>(options.logMaxMb) << 20, options.logKeep);
    const char* envDb = getenv("QUAY_CONFIG_DB");
    const std::string configDb = !options.configDb.empty() ? options.configDb
                                 : envDb != nullptr       ? std::string(envDb)
                                                          : dataDir + "/config.db";
    const CPelError dbError = ConfigDatabase::Instance().Open(configDb);
    if (dbError.IsError()) {
        fprintf(stderr, "quayd: cannot open configuration database %s: %s\n",
                ConfigBackend::Describe(configDb).c_str(), dbError.AsString().c_str());
        return 1;
    }
    if (!loader.Load(modulePath)) {
        fprintf(stderr, "quayd: cannot load module: %s\n", loader.error().c_str());
        return 1;
    }
    return Serve(options, loader, signals, notify);
}
