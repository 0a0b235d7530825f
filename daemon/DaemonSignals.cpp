#include "daemon/DaemonSignals.h"

#include <cerrno>
#include <ctime>

namespace {

// Signals whose default action ends the process and that another process
// (or the kernel, for the limits) sends: none of them is a fault of quayd.
const int kStopSignals[] = {SIGINT,  SIGTERM, SIGQUIT,   SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                            SIGPROF, SIGIO,   SIGPWR,    SIGXCPU, SIGXFSZ, SIGSTKFLT};

}  // namespace

DaemonSignals::DaemonSignals() {
    sigemptyset(&signals_);
    for (int signal : kStopSignals) sigaddset(&signals_, signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&signals_, signal);
    sigaddset(&signals_, SIGHUP);
}

void DaemonSignals::Block() {
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

DaemonSignals::Event DaemonSignals::Wait(int seconds, int& signal) {
    const timespec period = {seconds, 0};
    while (true) {
        const int received = sigtimedwait(&signals_, nullptr, &period);
        if (received > 0) {
            signal = received;
            return received == SIGHUP ? Event::kReopenLog : Event::kStop;
        }
        if (errno == EAGAIN) return Event::kTimeout;
        // EINTR: a signal outside the set (one that is ignored); wait on.
    }
}

bool DaemonSignals::Stops(int signal) const {
    return signal != SIGHUP && sigismember(&signals_, signal) == 1;
}
