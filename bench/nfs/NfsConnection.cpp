#include "NfsConnection.h"

#include <cstdio>

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
    nfs_url* parsed = nfs_parse_url_dir(nfs_, url.c_str());
    if (parsed == nullptr) return Fail("url", url);
    const bool mounted = nfs_mount(nfs_, parsed->server, parsed->path) == 0;
    nfs_destroy_url(parsed);
    return mounted || Fail("mount", url);
}

bool NfsConnection::Fail(const char* what, const std::string& path) const {
    fprintf(stderr, "nfs_bench: %s %s: %s\n", what, path.c_str(), nfs_ != nullptr ? nfs_get_error(nfs_) : "");
    return false;
}
