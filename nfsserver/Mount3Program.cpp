#include "nfsserver/Mount3Program.h"

#include <deque>
#include <vector>

#include "host/ExportCache.h"
#include "host/LogRateLimiter.h"
#include "nfsserver/ExportVersions.h"
#include "nfsserver/NfsLog.h"
#include "nfsserver/NfsStatus.h"
#include "nfsserver/Mount3Procedures.h"

namespace {

// A mount path without trailing slashes ("/store1/" is "/store1").
std::string Normalize(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool FindByPath(const std::string& path, ExportPtr& found) {
    if (gAllExports == nullptr) return false;
    for (const ExportPtr& exp : gAllExports->List()) {
        if (exp && exp->GetPath() == path) {
            found = exp;
            return true;
        }
    }
    return false;
}

// The export's allowed clients, one group per entry ("*" for everybody).
std::vector<std::string> Groups(Export& exp) {
    std::string text;
    exp.GetAllowedClients(text);
    std::vector<std::string> groups;
    std::string current;
    for (char c : text + ",") {
        if (c == ',' || c == ' ' || c == '\t' || c == '\n') {
            if (!current.empty()) groups.push_back(current.substr(0, MNTNAMLEN));
            current.clear();
        } else {
            current += c;
        }
    }
    if (groups.empty()) groups.push_back("*");
    return groups;
}

// Any client can call MOUNT and UMNT as often as it likes: one line per call
// is debug output; refusals are worth seeing at the default level, but only a
// few a minute.
constexpr int kCallLevel = 3;
LogRateLimiter refusalLines(10, 60);

void LogMount(const std::string& path, const std::string& client, int status) {
    if (status == MNT3_OK || g_ptrLogWriter->GetLevel() >= kCallLevel) {
        NFS_LOG(kCallLevel, "INFO: NFS: mount of [%s] by [%s] answered [%d]", path.c_str(), client.c_str(), status);
        return;
    }
    uint64_t heldBack = 0;
    if (!refusalLines.Admit(heldBack)) return;
    if (heldBack > 0) NFS_LOG(1, "INFO: NFS: [%llu] refused mounts not logged", static_cast<unsigned long long>(heldBack));
    NFS_LOG(1, "INFO: NFS: mount of [%s] by [%s] answered [%d]", path.c_str(), client.c_str(), status);
}

}  // namespace

const ProcedureHandler<Mount3Program> Mount3Program::kHandlers[] = {
    AnswerNull<Mount3Program>,
    Serve<&Mount3Program::Mount>,
    Serve<&Mount3Program::Dump>,
    Serve<&Mount3Program::Unmount>,
    Serve<&Mount3Program::UnmountAll>,
    Serve<&Mount3Program::Exports>,
};

uint32_t Mount3Program::Number() const { return MOUNT_PROGRAM; }
uint32_t Mount3Program::Version() const { return MOUNT_V3; }

// MOUNT keeps no replies: every procedure is harmless to run again.
void Mount3Program::Dispatch(RpcCall& call) { DispatchProcedure(*this, call, kMount3Procedures, kHandlers, nullptr); }

void Mount3Program::Mount(ProcedureCall& call, const dirpath& wirePath) {
    const std::string path = Normalize(wirePath);
    const std::string& client = call.Caller().Address();
    mountres3 res{};
    ExportPtr exp;
    nfs_fh3 handle;
    int authFlavors[] = {AUTH_SYS};
    if (!FindByPath(path, exp)) {
        res.fhs_status = MNT3ERR_NOENT;
    } else if (!exp->Authorize(ZELIPAddr{client}, "") || !ExportVersions::Serves(*exp, 3)) {
        // A share served over NFSv4 alone is not for MOUNT3's clients.
        res.fhs_status = MNT3ERR_ACCES;
    } else {
        exp->GetFileHandle(ZELIPAddr{client}, handle);
        res.fhs_status = handle.length == 0 || handle.length > NFS3_FHSIZE_MAX ? MNT3ERR_SERVERFAULT : MNT3_OK;
    }
    if (res.fhs_status == MNT3_OK) {
        mountres3_ok& ok = res.mountres3_u.mountinfo;
        ok.fhandle.fhandle3_len = handle.length;
        ok.fhandle.fhandle3_val = reinterpret_cast<char*>(handle.data);
        ok.auth_flavors.auth_flavors_len = 1;
        ok.auth_flavors.auth_flavors_val = authFlavors;
        std::lock_guard<std::mutex> lock(mutex_);
        mounts_.insert({client, path});
    }
    LogMount(path, client, static_cast<int>(res.fhs_status));
    call.Reply(&res);
}

void Mount3Program::Dump(ProcedureCall& call) {
    std::deque<mountbody> bodies;
    std::vector<std::pair<std::string, std::string>> mounts;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        mounts.assign(mounts_.begin(), mounts_.end());
    }
    for (auto& mount : mounts) {
        bodies.push_back(mountbody{const_cast<char*>(mount.first.c_str()), const_cast<char*>(mount.second.c_str()),
                                   nullptr});
    }
    for (size_t i = 0; i + 1 < bodies.size(); ++i) bodies[i].ml_next = &bodies[i + 1];
    mountlist list = bodies.empty() ? nullptr : &bodies.front();
    call.Reply(&list);
}

void Mount3Program::Unmount(ProcedureCall& call, const dirpath& path) {
    NFS_LOG(kCallLevel, "INFO: NFS: unmount of [%s] by [%s]", Normalize(path).c_str(), call.Caller().Address().c_str());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        mounts_.erase({call.Caller().Address(), Normalize(path)});
    }
    call.Reply(nullptr);
}

void Mount3Program::UnmountAll(ProcedureCall& call) {
    NFS_LOG(kCallLevel, "INFO: NFS: unmount of every share by [%s]", call.Caller().Address().c_str());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = mounts_.begin(); it != mounts_.end();) {
            it = it->first == call.Caller().Address() ? mounts_.erase(it) : std::next(it);
        }
    }
    call.Reply(nullptr);
}

void Mount3Program::Exports(ProcedureCall& call) {
    std::vector<ExportPtr> list = gAllExports != nullptr ? gAllExports->List() : std::vector<ExportPtr>();
    std::deque<std::string> texts;
    std::deque<groupnode> groups;
    std::deque<exportnode> nodes;
    for (const ExportPtr& exp : list) {
        if (!exp || !ExportVersions::Serves(*exp, 3)) continue;
        texts.push_back(exp->GetPath());
        exportnode node{const_cast<char*>(texts.back().c_str()), nullptr, nullptr};
        groupnode* previous = nullptr;
        for (const std::string& group : Groups(*exp)) {
            texts.push_back(group);
            groups.push_back(groupnode{const_cast<char*>(texts.back().c_str()), nullptr});
            if (previous != nullptr) previous->gr_next = &groups.back();
            else node.ex_groups = &groups.back();
            previous = &groups.back();
        }
        nodes.push_back(node);
    }
    for (size_t i = 0; i + 1 < nodes.size(); ++i) nodes[i].ex_next = &nodes[i + 1];
    exports head = nodes.empty() ? nullptr : &nodes.front();
    call.Reply(&head);
}
