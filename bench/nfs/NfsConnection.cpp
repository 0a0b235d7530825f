#include "NfsConnection.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

NfsConnection::~NfsConnection() {
    if (nfs_ != nullptr) nfs_destroy_context(nfs_);
}

bool NfsConnection::Mount(const std::string& url) {
    nfs_ = nfs_init_context();
    if (nfs_ == nullptr) {
        fprintf(stderr, "nfs_bench: no libnfs context\n");
        return false;
    }
    nfs_set_dircache(nfs_, 0);
    // Each connection is a client of its own over NFSv4 too: by default
    // every libnfs context of a process presents the same client id, so
    // the server would see one client whose open-owners are used by several
    // connections at once, out of sequence.
    static std::atomic<unsigned> connections{0};
    const unsigned number = connections++;
    const std::string id = "nfs_bench-" + std::to_string(getpid()) + "-" + std::to_string(number);
    nfs4_set_client_name(nfs_, id.c_str());
    char verifier[8] = {};
    const uint32_t words[2] = {static_cast<uint32_t>(getpid()), number};
    memcpy(verifier, words, sizeof(verifier));
    nfs4_set_verifier(nfs_, verifier);
    nfs_url* parsed = nfs_parse_url_dir(nfs_, url.c_str());
    if (parsed == nullptr) return Fail("url", url);
    const bool mounted = nfs_mount(nfs_, parsed->server, parsed->path) == 0;
    nfs_destroy_url(parsed);
    if (url.find("version=4") != std::string::npos) maxWrite_ = kV4WriteBytes;
    return mounted || Fail("mount", url);
}

bool NfsConnection::Create(const std::string& path, nfsfh** fh) {
    return nfs_create(nfs_, path.c_str(), O_RDWR, 0644, fh) == 0 || Fail("creat", path);
}

bool NfsConnection::Write(nfsfh* fh, uint64_t offset, size_t count, const char* data) {
    for (size_t done = 0; done < count;) {
        const size_t piece = std::min(count - done, maxWrite_);
        if (nfs_pwrite(nfs_, fh, offset + done, piece, data + done) != int(piece)) return false;
        done += piece;
    }
    return true;
}

bool NfsConnection::Fail(const char* what, const std::string& path) const {
    fprintf(stderr, "nfs_bench: %s %s: %s\n", what, path.c_str(), nfs_ != nullptr ? nfs_get_error(nfs_) : "");
    return false;
}
