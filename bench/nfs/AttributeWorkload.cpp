#include "AttributeWorkload.h"

#include "ClientGroup.h"
#include "Figure.h"

#include <fcntl.h>

namespace {

// A prime stride visits files all over the store, in no directory's order.
constexpr long kStride = 7919;
constexpr int kGetAttrPasses = 3;

}  // namespace

std::vector<long> AttributeWorkload::Samples() const {
    std::vector<long> samples;
    for (long k = 0; k < options_.samples; ++k) samples.push_back(k * kStride % options_.files);
    return samples;
}

bool AttributeWorkload::StatByPath(NfsConnection& connection, const std::vector<long>& samples) const {
    for (long index : samples) {
        struct nfs_stat_64 st {};
        const std::string path = layout_.PathOf(index);
        if (nfs_stat64(connection.Context(), path.c_str(), &st) != 0) return connection.Fail("stat", path);
    }
    return true;
}

bool AttributeWorkload::GetAttr(NfsConnection& connection, const std::vector<nfsfh*>& handles) const {
    for (int pass = 0; pass < kGetAttrPasses; ++pass) {
        for (nfsfh* fh : handles) {
            struct nfs_stat_64 st {};
            if (nfs_fstat64(connection.Context(), fh, &st) != 0) return connection.Fail("getattr", layout_.Root());
        }
    }
    return true;
}

bool AttributeWorkload::TimeGetAttr(const std::vector<long>& samples) const {
    ClientGroup group(options_.url, 1);
    if (!group.Mount()) return false;
    NfsConnection& connection = group.First();
    std::vector<nfsfh*> handles;
    bool ok = true;
    for (size_t i = 0; ok && i < samples.size(); ++i) {
        nfsfh* fh = nullptr;
        const std::string path = layout_.PathOf(samples[i]);
        ok = nfs_open(connection.Context(), path.c_str(), O_RDONLY, &fh) == 0 || connection.Fail("open", path);
        if (ok) handles.push_back(fh);
    }
    double seconds = 0;
    ok = ok && group.Run([&](NfsConnection& c, int) { return GetAttr(c, handles); }, seconds);
    for (nfsfh* fh : handles) nfs_close(connection.Context(), fh);
    if (ok) PrintFigure("getattr", seconds * 1e6 / double(handles.size() * kGetAttrPasses), "us");
    return ok;
}

bool AttributeWorkload::Run() const {
    const std::vector<long> samples = Samples();
    ClientGroup group(options_.url, 1);
    double seconds = 0;
    if (!group.Mount() || !group.Run([&](NfsConnection& c, int) { return StatByPath(c, samples); }, seconds)) {
        return false;
    }
    PrintFigure("stat_by_path", seconds * 1e6 / double(samples.size()), "us");
    return TimeGetAttr(samples);
}
