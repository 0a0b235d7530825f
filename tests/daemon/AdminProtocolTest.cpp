// The admin protocol shared by quayd and quayadm: the key=value payload, the
// rows, the frames on a socket, and quayadm's command line.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "daemon/admin/AdminChannel.h"
#include "daemon/admin/AdminProtocol.h"
#include "daemon/admin/KeyValueList.h"
#include "daemon/quayadm/QuayAdmCommand.h"

namespace {

TEST(KeyValueList, EveryByteAndRepeatedKeysSurviveARoundTrip) {
    std::string allBytes;
    for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
    KeyValueList list;
    list.Add("row", "first");
    list.Add("value", allBytes);
    list.Add("row", "");
    list.Add("row", "a\\n literal backslash-n");

    const std::string text = list.Encode();
    EXPECT_EQ(std::string::npos, text.find('\0'));
    KeyValueList decoded;
    std::string error;
    ASSERT_TRUE(decoded.Decode(text, error)) << error;
    EXPECT_EQ(list.pairs(), decoded.pairs());
    EXPECT_EQ((std::vector<std::string>{"first", "", "a\\n literal backslash-n"}), decoded.GetAll("row"));
}

TEST(KeyValueList, EncodesOnePairPerLineWithEscapes) {
    KeyValueList list;
    list.Add("path", "/a\tb\nc\\d");
    EXPECT_EQ("path=/a\\tb\\nc\\\\d\n", list.Encode());
}

TEST(KeyValueList, MalformedTextIsRefusedWithTheLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"a=1\nnovalue\n", "line 2: expected key=value"},
        {"=1\n", "line 1: expected key=value"},
        {"bad key=1\n", "line 1: expected key=value"},
        {"a=1", "line 1: not terminated by a newline"},
        {"a=\\x\n", "line 1: bad escape in value"},
        {"a=1\nb=ends\\\n", "line 2: bad escape in value"},
    };
    for (const auto& c : cases) {
        KeyValueList list;
        list.Add("stale", "x");
        std::string error;
        EXPECT_FALSE(list.Decode(c.text, error)) << c.text;
        EXPECT_EQ(c.error, error) << c.text;
        EXPECT_TRUE(list.empty()) << c.text;
    }
}

TEST(KeyValueList, EmptyTextIsAnEmptyList) {
    KeyValueList list;
    std::string error;
    EXPECT_TRUE(list.Decode("", error));
    EXPECT_TRUE(list.empty());
}

TEST(AdminRows, FieldsWithTabsAndNewlinesSplitBack) {
    const std::vector<std::string> fields = {"3", "", "a\tb", "c\nd", "e\\"};
    const std::string row = AdminProtocol::JoinRow(fields);
    EXPECT_EQ(4u, static_cast<size_t>(std::count(row.begin(), row.end(), '\t')));
    std::vector<std::string> back;
    ASSERT_TRUE(AdminProtocol::SplitRow(row, back));
    EXPECT_EQ(fields, back);
    EXPECT_FALSE(AdminProtocol::SplitRow("ok\tbad\\q", back));
}

class SocketPair : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds_)); }
    void TearDown() override {
        for (int fd : fds_) {
            if (fd >= 0) close(fd);
        }
    }
    void CloseSide(int side) {
        close(fds_[side]);
        fds_[side] = -1;
    }
    int fds_[2] = {-1, -1};
};

TEST_F(SocketPair, FramesCarryTheirPayloadExactly) {
    for (const std::string& payload : {std::string(), std::string("command=list-exports\n"), std::string(70000, 'x')}) {
        ASSERT_EQ(0, AdminChannel::SendFrame(fds_[0], payload));
        std::string got = "stale";
        ASSERT_EQ(0, AdminChannel::ReceiveFrame(fds_[1], AdminChannel::kMaxResponseBytes, got));
        EXPECT_EQ(payload, got);
    }
}

TEST_F(SocketPair, AnnouncedLengthAboveTheBoundIsRefusedUnread) {
    const unsigned char header[4] = {0x00, 0x01, 0x00, 0x01};  // 65537 bytes
    ASSERT_EQ(4, write(fds_[0], header, 4));
    std::string got = "untouched";
    EXPECT_EQ(EMSGSIZE, AdminChannel::ReceiveFrame(fds_[1], AdminChannel::kMaxRequestBytes, got));
    EXPECT_EQ("untouched", got);
}

TEST_F(SocketPair, PeerClosingInsideAFrameGivesENODATA) {
    const unsigned char header[4] = {0, 0, 0, 10};
    ASSERT_EQ(4, write(fds_[0], header, 4));
    ASSERT_EQ(3, write(fds_[0], "abc", 3));
    CloseSide(0);
    std::string got;
    EXPECT_EQ(ENODATA, AdminChannel::ReceiveFrame(fds_[1], 100, got));
}

TEST_F(SocketPair, SilentPeerRunsIntoTheTimeout) {
    ASSERT_EQ(0, AdminChannel::SetTimeouts(fds_[1], 1));
    std::string got;
    EXPECT_EQ(ETIMEDOUT, AdminChannel::ReceiveFrame(fds_[1], 100, got));
}

TEST_F(SocketPair, SendingToAClosedPeerFailsWithoutASignal) {
    CloseSide(1);
    EXPECT_EQ(EPIPE, AdminChannel::SendFrame(fds_[0], "x=1\n"));
}

TEST(AdminChannel, SocketPathsThatDoNotFitAreRefused) {
    int fd = -1;
    EXPECT_EQ(ENAMETOOLONG, AdminChannel::Connect(std::string(200, 'a'), fd));
    EXPECT_EQ(ENAMETOOLONG, AdminChannel::Connect("", fd));
    EXPECT_EQ(-1, fd);
}

TEST(QuayAdmCommand, ArgumentsBecomeTheCommandsFieldsInOrder) {
    KeyValueList request;
    std::string error;
    ASSERT_TRUE(QuayAdmCommand::BuildRequest({"export", "create", "pit", "10", "/store1-snap1"}, request, error));
    EXPECT_EQ((KeyValueList::Pairs{{"version", "1"},
                                   {"command", "export"},
                                   {"op", "create"},
                                   {"type", "pit"},
                                   {"subclient", "10"},
                                   {"path", "/store1-snap1"}}),
              request.pairs());

    ASSERT_TRUE(QuayAdmCommand::BuildRequest({"add-view", "10", "/s-a", "07-15-2023 10:20:30", "1"}, request, error));
    std::string value;
    EXPECT_TRUE(request.Get("toTime", value));
    EXPECT_EQ("07-15-2023 10:20:30", value);
    EXPECT_TRUE(request.Get("readOnly", value));
    EXPECT_EQ("1", value);
    EXPECT_FALSE(request.Has("writable"));
}

TEST(QuayAdmCommand, WrongArgumentCountsAndUnknownCommandsAreUsageErrors) {
    KeyValueList request;
    std::string error;
    EXPECT_FALSE(QuayAdmCommand::BuildRequest({"add-client", "1"}, request, error));
    EXPECT_EQ("usage: quayadm add-client <id> <name>", error);
    EXPECT_FALSE(QuayAdmCommand::BuildRequest({"list-exports", "extra"}, request, error));
    EXPECT_EQ("usage: quayadm list-exports", error);
    EXPECT_FALSE(QuayAdmCommand::BuildRequest({"export", "create", "live", "10", "/s", "snap", "more"}, request, error));
    EXPECT_FALSE(QuayAdmCommand::BuildRequest({"frobnicate"}, request, error));
    EXPECT_EQ("unknown command frobnicate", error);
    EXPECT_FALSE(QuayAdmCommand::BuildRequest({}, request, error));
    EXPECT_TRUE(request.empty());
}

TEST(QuayAdmCommand, ViewAccessOptionsStandAnywhereAndOnlyOnce) {
    KeyValueList request;
    std::string error;
    ASSERT_TRUE(QuayAdmCommand::BuildRequest(
        {"add-view", "--users", "0,1000", "10", "/s-a", "5", "1", "--clients", "10.0.0.0/8"}, request, error));
    EXPECT_EQ((KeyValueList::Pairs{{"version", "1"},
                                   {"command", "add-view"},
                                   {"subclient", "10"},
                                   {"path", "/s-a"},
                                   {"toTime", "5"},
                                   {"readOnly", "1"},
                                   {"users", "0,1000"},
                                   {"clients", "10.0.0.0/8"}}),
              request.pairs());
    EXPECT_FALSE(QuayAdmCommand::BuildRequest({"add-view", "10", "/s-a", "5", "--groups"}, request, error));
    EXPECT_EQ(0u, error.find("usage: quayadm add-view "));
    EXPECT_FALSE(
        QuayAdmCommand::BuildRequest({"add-view", "10", "/s-a", "5", "--users", "1", "--users", "2"}, request, error));
    // Other commands take no such options: the text stays an argument.
    EXPECT_FALSE(QuayAdmCommand::BuildRequest({"list-views", "--clients", "x"}, request, error));
    EXPECT_EQ("usage: quayadm list-views <subclient>", error);
}

TEST(QuayAdmCommand, IdsAboveTwoToTheThirtyFirstAreRefusedBeforeSending) {
    KeyValueList request;
    std::string error;
    EXPECT_FALSE(QuayAdmCommand::BuildRequest({"export", "create", "live", "3000000000", "/s"}, request, error));
    EXPECT_EQ("field subclient must be a number from 1 to 2147483647, not [3000000000]: quayd brings shares back "
              "at start by signed 32-bit ids",
              error);
    EXPECT_FALSE(QuayAdmCommand::BuildRequest({"add-client", "2147483648", "h"}, request, error));
    EXPECT_FALSE(QuayAdmCommand::BuildRequest({"define-store", "10", "0", "s"}, request, error));
    EXPECT_EQ("field client must be a number from 1 to 2147483647, not [0]", error);
    EXPECT_FALSE(QuayAdmCommand::BuildRequest({"add-subclient", "10", "1", "n", "x"}, request, error));
    EXPECT_EQ("field policy must be a number from 0 to 2147483647, not [x]", error);
    EXPECT_TRUE(request.empty());
    EXPECT_TRUE(QuayAdmCommand::BuildRequest({"add-subclient", "2147483647", "1", "n", "0"}, request, error));
}

std::string Printed(FILE* stream) {
    fflush(stream);
    rewind(stream);
    std::string text;
    char buffer[256];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), stream)) > 0) text.append(buffer, got);
    return text;
}

TEST(QuayAdmCommand, ExitStatusFollowsTheCodeAndRowsGoToStdout) {
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    KeyValueList ok;
    ok.Add("code", "0");
    ok.Add("text", "2 exports");
    ok.Add("row", "1\t4\tlive\trw\t/store1");
    ok.Add("row", "3\t4\tpit\tro\t/store1-snap2");
    EXPECT_EQ(0, QuayAdmCommand::PrintResponse(ok, out, err));
    EXPECT_EQ("0: 2 exports\n1\t4\tlive\trw\t/store1\n3\t4\tpit\tro\t/store1-snap2\n", Printed(out));

    KeyValueList failed;
    failed.Add("code", "18");
    failed.Add("text", "share is already exported");
    failed.Add("log", "ERROR: Share [/store1] is exported already");
    failed.Add("log", "ERROR: second\\nline");
    EXPECT_EQ(1, QuayAdmCommand::PrintResponse(failed, out, err));
    EXPECT_EQ("18: share is already exported\n  log: ERROR: Share [/store1] is exported already\n"
              "  log: ERROR: second\\nline\n",
              Printed(err));

    KeyValueList noCode;
    EXPECT_EQ(1, QuayAdmCommand::PrintResponse(noCode, out, err));
    fclose(out);
    fclose(err);
}

}  // namespace
