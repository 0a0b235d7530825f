// SystemdNotify: tells the service manager how quayd is doing, with the
// sd_notify protocol: one datagram of "KEY=VALUE" lines to the Unix socket
// named by NOTIFY_SOCKET (a path, or an abstract name written with a leading
// '@'). quayd sends READY=1 once its admin socket and its NFS and metrics
// listeners are up, and STOPPING=1 as it begins to stop. Without
// NOTIFY_SOCKET (not started by systemd as Type=notify) nothing is sent.
//
// Thread safety: Notify from any thread once constructed; construct before
// other threads start (it reads and clears the environment).
#pragma once
#include <string>
#include <utility>

class SystemdNotify {
public:
    // Takes NOTIFY_SOCKET and removes it from the environment, so that no
    // program quayd might start talks to systemd in its name.
    static SystemdNotify FromEnvironment();
    // address: as NOTIFY_SOCKET gives it; empty for none.
    explicit SystemdNotify(std::string address) : address_(std::move(address)) {}

    bool Enabled() const { return !address_.empty(); }
    const std::string& Address() const { return address_; }
    // Sends state, newline-separated assignments ("READY=1\nSTATUS=..."). 0
    // (also when not enabled), or the errno: EINVAL for an address that is
    // neither a path nor an abstract name or is too long, else the socket's.
    int Notify(const std::string& state) const;

private:
    std::string address_;
};
