#include <gtest/gtest.h>

#include <cstring>

#include "host/ExportCache.h"
#include "host/FSM.h"
#include "tests/host/HostTestSupport.h"

namespace {

class FSMTest : public hosttest::HostTest {};

// The smallest module: only what the base class leaves to modules.
class TinyFSM : public FSM {
public:
    std::string GetFSMName() override { return "Tiny"; }
    int GetFSMType() override { return 9; }
    std::string GetFSMDetails() override { return ""; }
    bool UnloadFSM() override { return true; }
    bool GenericConfigRPCHandler(void*, const std::string&, unsigned, char*&, size_t&,
                                 int&) override {
        return false;
    }
    void ReleaseConfigRPCMem(int, void*) override {}
    bool CreateExport(const ExportPtr&, ExportPtr&) override { return false; }
    std::string FH2Str(const nfs_fh3&) override { return ""; }
    BkEndProcPtr GetFSObject(ExportPtr&, const nfs_fh3&) override { return BkEndProcPtr(); }
    void UnExport(ExportPtr&) override {}
    void FinalizeExports() override {}
};

nfs_fh3 Handle(uint32_t length, uint32_t shareId) {
    nfs_fh3 handle;
    handle.length = length;
    uint32_t type = 9;
    memcpy(handle.data, &type, 4);
    memcpy(handle.data + 4, &shareId, 4);
    return handle;
}

TEST_F(FSMTest, FindExportTakesTheShareIdFromHandleBytesFourToSeven) {
    ExportPtr none;
    ExportPtr exp(new Export("/store", SHARE_PERM_READ_WRITE, "", 0x01020304, none));
    ASSERT_TRUE(gAllExports->AddExport(exp));
    TinyFSM fsm;

    ExportPtr found;
    EXPECT_TRUE(fsm.FindExport(Handle(41, 0x01020304), found));
    EXPECT_EQ(exp, found);

    found.reset();
    EXPECT_FALSE(fsm.FindExport(Handle(41, 0x04030201), found));  // byte order matters
    EXPECT_FALSE(found);
    EXPECT_FALSE(fsm.FindExport(Handle(7, 0x01020304), found));  // id bytes not in the handle
    EXPECT_FALSE(fsm.FindExport(Handle(NFS3_FHSIZE_MAX + 1, 0x01020304), found));
    EXPECT_TRUE(fsm.FindExport(Handle(8, 0x01020304), found));
}

TEST_F(FSMTest, PrintPerfCountersOnlyLogs) {
    TinyFSM fsm;
    fsm.PrintPerfCounters();
    EXPECT_TRUE(Logged(3, "INFO: No performance counters kept by FSM [Tiny]")) << Dump();
    EXPECT_EQ(1u, Lines().size());
}

}  // namespace
