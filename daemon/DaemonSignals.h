// DaemonSignals: the signals quayd acts on. SIGHUP asks for the log file to
// be opened again; every other signal whose default action would end the
// process (SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, the real-time
// signals, ...) stops quayd cleanly instead: exports saved, admin socket
// removed, module unloaded, a last log line. SIGPIPE is ignored, so a peer
// that hangs up ends nothing.
//
// Block() must run before any thread starts: threads inherit the mask, so
// the signals stay pending until the main thread takes them in Wait().
// Signals raised by a fault (SIGSEGV, SIGABRT, ...) are left alone.
#pragma once
#include <signal.h>

class DaemonSignals {
public:
    enum class Event { kStop, kReopenLog, kTimeout };

    DaemonSignals();
    DaemonSignals(const DaemonSignals&) = delete;
    DaemonSignals& operator=(const DaemonSignals&) = delete;

    // Blocks the signals in the calling thread and ignores SIGPIPE.
    void Block();
    // Waits up to seconds for one of the signals; signal is the one taken.
    Event Wait(int seconds, int& signal);
    // Whether quayd stops on the signal.
    bool Stops(int signal) const;

private:
    sigset_t signals_;
};
