// libFuzzer target: the input is the byte stream one client sends on one
// connection, served by RpcConnection as quayd serves it: record marks,
// fragment lengths, last-fragment bits and truncation, then the call headers,
// credentials and arguments of each record. A program of the target's own
// answers NULL and decodes a u_int for procedure 1, so replies, RPC errors and
// GARBAGE_ARGS all go out. The client sends the input, hangs up its sending
// side and drains replies, so every run ends on its own.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "host/LogWriter.h"
#include "nfsserver/RpcConnection.h"
#include "nfsserver/RpcProgram.h"
#include "nfsserver/XdrArgs.h"

namespace {

// Larger streams add nothing the fragment lengths cannot already say.
constexpr size_t kMaxInput = 64 * 1024;

class FuzzProgram : public RpcProgram {
public:
    explicit FuzzProgram(uint32_t number) : number_(number) {}
    uint32_t Number() const override { return number_; }
    uint32_t Version() const override { return 3; }
    void Dispatch(RpcCall& call) override {
        if (call.procedure == 0) {
            RpcReply::Send(call, XDR_PROC(xdr_void), nullptr);
        } else if (call.procedure == 1) {
            XdrArgs<u_int> args(call, XDR_PROC(xdr_u_int));
            if (args.Decode()) RpcReply::Send(call, XDR_PROC(xdr_u_int), &args.value);
        } else {
            svcerr_noproc(call.transport);
        }
    }

private:
    const uint32_t number_;
};

// Sends the stream while reading replies, so neither side can block the
// other, until the server closes the connection.
void ActAsClient(int fd, const uint8_t* data, size_t size) {
    size_t sent = 0;
    bool sending = true;
    if (size == 0) {
        shutdown(fd, SHUT_WR);
        sending = false;
    }
    for (;;) {
        pollfd wait{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        if (poll(&wait, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (sending && (wait.revents & POLLOUT) != 0) {
            const ssize_t done = send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (done > 0) sent += static_cast<size_t>(done);
            if (sent == size || (done < 0 && errno != EAGAIN && errno != EINTR)) {
                shutdown(fd, SHUT_WR);
                sending = false;
            }
        }
        if ((wait.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char sink[4096];
            const ssize_t got = recv(fd, sink, sizeof(sink), MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return -1;
    // Every log line is formatted, and none is kept.
    g_ptrLogWriter->SetLevel(10);
    g_ptrLogWriter->StartCapture();
    g_ptrLogWriter->ClearCaptured();

    static FuzzProgram nfs(100003);
    static FuzzProgram mount(100005);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return 0;
    RpcConnection connection(ends[0], "fuzz", std::vector<RpcProgram*>{&nfs, &mount});
    std::thread client(ActAsClient, ends[1], data, size);
    connection.Run();
    client.join();
    close(ends[1]);
    return 0;
}
