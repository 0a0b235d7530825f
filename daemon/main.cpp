// quayd: the host process. Loads the BackupFSM module as the host does,
// restores the saved exports, serves the admin socket, and runs until SIGINT
// or SIGTERM; then saves the exports and unloads the module cleanly.
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "configclient/ConfigDatabase.h"
#include "daemon/AdminRequestHandler.h"
#include "daemon/AdminServer.h"
#include "daemon/ConfigAdmin.h"
#include "daemon/ExportPersistence.h"
#include "daemon/ModuleLoader.h"
#include "daemon/QuaydLog.h"
#include "daemon/QuaydOptions.h"
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

std::string DefaultModulePath() {
    return ExecutableDir() + "/../lib/libBackupFSM.so";
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

int PrintInfo(ModuleLoader& loader) {
    FSM* module = loader.module();
    printf("Name: %s\nType: %d\nDetails: %s\n", module->GetFSMName().c_str(), module->GetFSMType(),
           module->GetFSMDetails().c_str());
    return 0;
}

// Exports that appear without an admin request (re-exports at start) are
// saved within this many seconds.
constexpr int kSaveCheckSeconds = 10;

// Waits for a stop signal, saving the exports now and then; the signal.
int WaitForStop(const sigset_t& stopSignals, ExportPersistence& persistence) {
    const timespec period = {kSaveCheckSeconds, 0};
    while (true) {
        const int received = sigtimedwait(&stopSignals, nullptr, &period);
        if (received > 0) return received;
        if (errno == EAGAIN) persistence.Save(false);
    }
}

int Serve(const QuaydOptions& options, ModuleLoader& loader, sigset_t& stopSignals) {
    FSM& module = *loader.module();
    const std::string dataDir = ZelDataDir();
    const std::string socketPath = options.adminSocket.empty() ? dataDir + "/quayd.sock" : options.adminSocket;
    ConfigAdmin config(ConfigDatabase::Instance(), QuayServiceGlobals::clientName);
    ExportPersistence persistence(dataDir + "/exports.saved", module.GetFSMType(),
                                  [&config](unsigned long subclientId, const std::string& path) {
                                      return config.IsShareOfThisServer(subclientId, path);
                                  });
    AdminRequestHandler handler(module, config, persistence);
    AdminServer server([&handler](const KeyValueList& request, const std::string& caller) {
        return handler.Handle(request, caller);
    });
    // Opened first: a second quayd on the same socket stops here, before it
    // touches the exports of the first.
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
    error = server.Start();
    if (error != 0) {
        fprintf(stderr, "quayd: cannot serve admin socket %s: %s\n", socketPath.c_str(), strerror(error));
        server.Stop();
        loader.Unload();
        return 1;
    }
    // Without its NFS listener quayd still manages shares; the failure is
    // reported on stderr and in the log.
    NfsServer nfs(module);
    std::string nfsError;
    if (nfs.Start(options.nfs, nfsError) != 0) {
        fprintf(stderr, "quayd: NFS service not started: %s\n", nfsError.c_str());
        QUAYD_LOG(-1, "ERROR: NFS service not started: %s", nfsError.c_str());
    }
    QUAYD_LOG(-1, "INFO: quayd started: module [%s] type [%d], data directory [%s]",
              module.GetFSMName().c_str(), module.GetFSMType(), dataDir.c_str());
    QUAYD_LOG(1, "INFO: quayd admin socket [%s], server name [%s]", socketPath.c_str(),
              QuayServiceGlobals::clientName.c_str());

    const int stopSignal = WaitForStop(stopSignals, persistence);
    QUAYD_LOG(-1, "INFO: quayd stopping on signal [%d]", stopSignal);
    nfs.Stop();
    server.Stop();
    persistence.Save(true);
    loader.Unload();
    QUAYD_LOG(-1, "INFO: quayd stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QuaydOptions options;
    std::string error;
    if (!options.Parse(argc, argv, error)) {
        fprintf(stderr, "quayd: %s\n%s", error.c_str(), QuaydOptions::Usage().c_str());
        return 2;
    }
    if (!options.dataDir.empty()) setenv("QUAY_DATA_DIR", options.dataDir.c_str(), 1);
    if (options.logLevel != -2) g_ptrLogWriter->SetLevel(options.logLevel);

    // Block the stop signals before any thread starts, so only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A peer that hangs up must not end the daemon.
    signal(SIGPIPE, SIG_IGN);

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
    const std::string logFile = options.logFile.empty() ? dataDir + "/quayd.log" : options.logFile;
    if (!g_ptrLogWriter->OpenFile(logFile)) {
        fprintf(stderr, "quayd: cannot open log file %s\n", logFile.c_str());
        return 1;
    }
    const char* envDb = getenv("QUAY_CONFIG_DB");
    const std::string configDb = !options.configDb.empty() ? options.configDb
                                 : envDb != nullptr       ? std::string(envDb)
                                                          : dataDir + "/config.db";
    const CPelError dbError = ConfigDatabase::Instance().Open(configDb);
    if (dbError.IsError()) {
        fprintf(stderr, "quayd: cannot open configuration database %s: %s\n", configDb.c_str(),
                dbError.AsString().c_str());
        return 1;
    }
    if (!loader.Load(modulePath)) {
        fprintf(stderr, "quayd: cannot load module: %s\n", loader.error().c_str());
        return 1;
    }
    return Serve(options, loader, stopSignals);
}
