// NFS client side of bench/nfs_bench.sh on libnfs: runs one workload against
// one share and prints one line per figure, "name value unit". The protocol
// version is the URL's (version=3 or version=4).
#include "nfs/AttributeWorkload.h"
#include "nfs/BenchOptions.h"
#include "nfs/CreateRateWorkload.h"
#include "nfs/FileFill.h"
#include "nfs/ListingWorkload.h"
#include "nfs/SmallFileWorkload.h"
#include "nfs/StreamWorkload.h"

#include <cstdio>

namespace {

const char kUsage[] =
    "usage: nfs_bench URL WORKLOAD [--key value]...\n"
    "  small  --dir D --clients C --files N      C clients at once, N 4 KiB files each in D/d<client>\n"
    "  fill   --dir D --files N --fill-clients C  make D and write N 4 KiB files into it, untimed\n"
    "  list   --dir D --files N                  list D (at least N entries), per entry\n"
    "  grow   --dir D --files N --window W --dirs K --fill-clients C --name X\n"
    "                                             create rate of files 1..W and N-W+1..N of a fresh D,\n"
    "                                             in D itself (K 0) or spread over K subdirectories\n"
    "  attr   --dir D --files N --dirs K --samples S   stat by path and GETATTR in a grown D\n"
    "  stream --dir D --mib M --clients C         C streams write, then read M MiB between them\n";

bool Fill(const BenchOptions& options) {
    const FileLayout layout(options.dir, 0);
    NfsConnection setup;
    return setup.Mount(options.url) && layout.Create(setup) &&
           FileFill(options.url, options.fillClients).Fill(layout, 0, options.files);
}

bool RunWorkload(const BenchOptions& options, bool& known) {
    known = true;
    const std::string& w = options.workload;
    if (w == "small") return SmallFileWorkload(options).Run();
    if (w == "fill") return Fill(options);
    if (w == "list") return ListingWorkload(options).Run();
    if (w == "grow") return CreateRateWorkload(options).Run();
    if (w == "attr") return AttributeWorkload(options).Run();
    if (w == "stream") return StreamWorkload(options).Run();
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
