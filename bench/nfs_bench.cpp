// NFS client side of bench/nfs_bench.sh on libnfs: runs one workload against
// one share and prints one line per figure, "name value unit". The protocol
// version is the URL's (version=3 or version=4).
#include "nfs/AttributeWorkload.h"
#include "nfs/BenchOptions.h"
#include "nfs/BulkWorkload.h"
#include "nfs/CreateWorkload.h"
#include "nfs/FileFill.h"
#include "nfs/ListingWorkload.h"
#include "nfs/SmallFileWorkload.h"
#include "nfs/StreamWorkload.h"

#include <cstdio>

namespace {

// A layout is directory D itself (K 0) or K subdirectories of D, file i in
// subdirectory i mod K.
const char kUsage[] =
    "usage: nfs_bench URL WORKLOAD [--key value]...\n"
    "  small  --dir D --clients C --files N       C clients at once, N 4 KiB files each in D/d<client>\n"
    "  mkdirs --dir D --dirs K                    make the layout's directories, untimed\n"
    "  create --dir D --dirs K --from A --to B --name X   one client writes files [A, B), timed\n"
    "  fill   --dir D --dirs K --from A --to B --fill-clients C   C clients write files [A, B), untimed\n"
    "  list   --dir D --files N [--rounds R]      list D (at least N entries) R times, per entry\n"
    "  attr   --dir D --dirs K --files N --samples S   stat by path and GETATTR of files [0, N)\n"
    "  stream --dir D --mib M --clients C         C streams write, then read M MiB between them\n"
    "  bulk   --dir D --files N --mib M --clients C   C clients write N files of M MiB in all, kept\n"
    "  unbulk --dir D --files N                   remove the files bulk wrote, untimed\n";

bool MakeDirectories(const BenchOptions& options) {
    NfsConnection connection;
    return connection.Mount(options.url) && FileLayout(options.dir, options.dirs).Create(connection);
}

bool Fill(const BenchOptions& options) {
    return FileFill(options.url, options.fillClients).Fill(FileLayout(options.dir, options.dirs), options.from, options.to);
}

bool RunWorkload(const BenchOptions& options, bool& known) {
    known = true;
    const std::string& w = options.workload;
    if (w == "small") return SmallFileWorkload(options).Run();
    if (w == "mkdirs") return MakeDirectories(options);
    if (w == "create") return CreateWorkload(options).Run();
    if (w == "fill") return Fill(options);
    if (w == "list") return ListingWorkload(options).Run();
    if (w == "attr") return AttributeWorkload(options).Run();
    if (w == "stream") return StreamWorkload(options).Run();
    if (w == "bulk") return BulkWorkload(options).Write();
    if (w == "unbulk") return BulkWorkload(options).Remove();
    known = false;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    BenchOptions options;
    std::string error;
    if (!options.Parse(argc, argv, error)) {
        fprintf(stderr, "nfs_bench: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    bool known = false;
    const bool ok = RunWorkload(options, known);
    if (!known) {
        fprintf(stderr, "nfs_bench: unknown workload %s\n%s", options.workload.c_str(), kUsage);
        return 2;
    }
    return ok ? 0 : 1;
}
