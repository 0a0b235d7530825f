// Message library: field round trips, the serialised form, and rejection of
// malformed or foreign text.
#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "configclient/AppMessages.h"
#include "configclient/XmlNode.h"

namespace {

constexpr int kGroup = App::MossgateProtocols::kProtocolGroup;
constexpr int kTypes = App::MossgateProtocols::kProtocolTypes;

std::vector<int>* Protocols(App::MossgateProtocols& message, bool create) {
    return message.getlistint(1, 1, kGroup, kTypes, create);
}

std::string SerialisedProtocols(const std::vector<int>& types) {
    App::MossgateProtocols message(30, 3078);
    *Protocols(message, true) = types;
    std::string xml;
    EXPECT_EQ(0, message.serialize(xml, false));
    return xml;
}

}  // namespace

TEST(MessagesTest, ProtocolListHasTheDocumentedForm) {
    EXPECT_EQ("<Msg family=\"30\" id=\"3078\"><ListInt tag=\"506452600.9910465\"><I>1</I><I>3</I></ListInt></Msg>",
              SerialisedProtocols({1, 3}));
    App::MossgateProtocols message;
    std::string xml;
    message.serializeUnicode(xml);
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Msg family=\"30\" id=\"3078\"></Msg>", xml);
}

TEST(MessagesTest, ProtocolListRoundTripsInEveryForm) {
    App::MossgateProtocols written;
    *Protocols(written, true) = {App::NFSV3, App::SMB};
    std::string compact;
    std::string pretty;
    std::string unicode;
    written.serialize(compact, false);
    written.serialize(pretty, true);
    written.serializeUnicode(unicode);
    EXPECT_NE(compact, pretty);
    for (const std::string& xml : {compact, pretty, unicode}) {
        App::MossgateProtocols read;
        ASSERT_EQ(CNMessageBase::MSG_OK, read.unserialize(xml)) << xml;
        ASSERT_NE(nullptr, Protocols(read, false)) << xml;
        EXPECT_EQ((std::vector<int>{1, 3}), *Protocols(read, false)) << xml;
    }
}

TEST(MessagesTest, EmptyListStaysEmptyAndAbsentListStaysAbsent) {
    App::MossgateProtocols empty;
    EXPECT_EQ(nullptr, Protocols(empty, false));
    ASSERT_NE(nullptr, Protocols(empty, true));
    App::MossgateProtocols readEmpty;
    ASSERT_EQ(0, readEmpty.unserialize(SerialisedProtocols({})));
    ASSERT_NE(nullptr, Protocols(readEmpty, false));
    EXPECT_TRUE(Protocols(readEmpty, false)->empty());

    std::string xml;
    App::MossgateProtocols().serialize(xml, true);
    App::MossgateProtocols readAbsent;
    *Protocols(readAbsent, true) = {2};
    ASSERT_EQ(0, readAbsent.unserialize(xml));
    EXPECT_EQ(nullptr, Protocols(readAbsent, false)) << "unserialize replaces every field";
}

TEST(MessagesTest, ScalarFieldsKeepEveryByteAndExtremeValues) {
    App::NFSShares share;
    const std::string name("a<b>&\"c'\n\t\0\x7f  \xC3\xA9 ", 17);
    share.setstring(2, 2, 1, 2, name);
    share.setint64(1, 1, 3, INT64_MIN);
    share.setint64(1, 1, 4, INT64_MAX);
    share.setint64(1, -5, 4, -1);
    std::string xml;
    share.serialize(xml, true);
    EXPECT_EQ(std::string::npos, xml.find('\0'));
    EXPECT_NE(std::string::npos, xml.find("&lt;b&gt;&amp;&quot;c&apos;&#xA;&#x9;&#x0;&#x7F;")) << xml;

    App::NFSShares read;
    ASSERT_EQ(0, read.unserialize(xml)) << xml;
    EXPECT_EQ(name, read.getstring(2, 2, 1, 2));
    EXPECT_EQ(INT64_MIN, read.getint64(1, 1, 3));
    EXPECT_EQ(INT64_MAX, read.getint64(1, 1, 4));
    EXPECT_EQ(-1, read.getint64(1, -5, 4));
    EXPECT_EQ(0, read.getint64(1, 1, 5));
    EXPECT_EQ("", read.getstring(2, 2, 9, 9));
}

TEST(MessagesTest, ReaderAcceptsOrdinaryXmlVariations) {
    const std::string xml =
        "\xEF\xBB\xBF<?xml version='1.0'?>\n<Msg  id='3078' family=\"30\" >\n"
        "  <ListInt tag=\"506452600.9910465\">\n    <I>2</I>\n  </ListInt >\n"
        "  <Str tag=\"1.2\">&#65;&#x42;&#x20AC;</Str><Str tag=\"1.3\"/>\n</Msg>\n";
    App::MossgateProtocols read;
    ASSERT_EQ(0, read.unserialize(xml));
    EXPECT_EQ((std::vector<int>{2}), *Protocols(read, false));
    EXPECT_EQ("AB\xE2\x82\xAC", read.getstring(2, 2, 1, 2));
    EXPECT_EQ("", read.getstring(2, 2, 1, 3));
}

TEST(MessagesTest, MalformedTextIsRejectedAndLeavesTheMessageAlone) {
    const std::string head = "<Msg family=\"30\" id=\"3078\">";
    const std::vector<std::string> malformed = {
        "",
        "not xml",
        "<Msg family=\"30\" id=\"3078\">",
        "<Msg family=\"30\" id=\"3078\"></Other>",
        "<Msg family=\"30\"></Msg>",
        "<Msg family=\"x30\" id=\"3078\"></Msg>",
        "<Msg family=\"30\" id=\"3078\"/>trailing",
        "<Msg family=\"30\"id=\"3078\"></Msg>",
        "<Msg family=\"30\" family=\"30\" id=\"3078\"></Msg>",
        head + "text</Msg>",
        head + "<Unknown tag=\"1.1\"></Unknown></Msg>",
        head + "<I64 tag=\"1\">5</I64></Msg>",
        head + "<I64 tag=\"1.x\">5</I64></Msg>",
        head + "<I64 tag=\"1.1\">5 </I64></Msg>",
        head + "<I64 tag=\"1.1\">9223372036854775808</I64></Msg>",
        head + "<I64 tag=\"1.1\">1</I64><I64 tag=\"1.1\">2</I64></Msg>",
        head + "<Str tag=\"1.1\">a &bogus; b</Str></Msg>",
        head + "<Str tag=\"1.1\">a & b</Str></Msg>",
        head + "<Str tag=\"1.1\">&#xD800;</Str></Msg>",
        head + "<Str tag=\"1.1\"><I>1</I></Str></Msg>",
        head + "<ListInt tag=\"506452600.9910465\"><I>2147483648</I></ListInt></Msg>",
        head + "<ListInt tag=\"506452600.9910465\"><X>1</X></ListInt></Msg>",
        head + "<ListInt tag=\"506452600.9910465\">1</ListInt></Msg>",
        head + "<ListObj tag=\"1.1\"></ListObj></Msg>",
        head + "<!-- comment --></Msg>",
        head + "<![CDATA[x]]></Msg>",
        // No DTD, no entity of its own, nothing fetched from outside.
        "<!DOCTYPE Msg [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>" + head + "<Str tag=\"1.1\">&x;</Str></Msg>",
        "<!DOCTYPE Msg SYSTEM \"http://example.invalid/msg.dtd\">" + head + "</Msg>",
        head + "<?pi data?></Msg>",
        head + "</Msg><?xml version=\"1.0\"?>",
        head + "</Msg>" + head + "</Msg>",
        "<x:Msg family=\"30\" id=\"3078\"></x:Msg>",
        head + "<Str tag=\"1.1\" x:y=\"1\"></Str></Msg>",
    };
    for (const std::string& xml : malformed) {
        App::MossgateProtocols message;
        *Protocols(message, true) = {1};
        EXPECT_EQ(CNMessageBase::MSG_MALFORMED, message.unserialize(xml)) << xml;
        ASSERT_NE(nullptr, Protocols(message, false)) << xml;
        EXPECT_EQ((std::vector<int>{1}), *Protocols(message, false)) << xml;
    }
}

TEST(MessagesTest, XmlNestingIsBounded) {
    const auto nested = [](int depth) {
        std::string xml;
        for (int i = 0; i < depth; ++i) xml += "<a>";
        for (int i = 0; i < depth; ++i) xml += "</a>";
        return xml;
    };
    XmlNode root;
    EXPECT_TRUE(XmlNode::parse(nested(XmlNode::kMaxDepth), root));
    EXPECT_FALSE(XmlNode::parse(nested(XmlNode::kMaxDepth + 1), root));
    EXPECT_FALSE(XmlNode::parse(nested(100000).substr(0, 300000), root)) << "no stack overflow";
}

TEST(MessagesTest, AnotherMessageDoesNotReadIntoTheWrongClass) {
    std::string request;
    App::GetNFSShareReq().serialize(request, false);
    App::MossgateProtocols protocols;
    EXPECT_EQ(CNMessageBase::MSG_WRONG_MESSAGE, protocols.unserialize(request));
    App::GetNFSShareResp response;
    EXPECT_EQ(CNMessageBase::MSG_WRONG_MESSAGE, response.unserialize(request));
    EXPECT_EQ(CNMessageBase::MSG_WRONG_MESSAGE,
              protocols.unserialize("<Msg family=\"31\" id=\"3078\"></Msg>"));
    EXPECT_EQ(CNMessageBase::MSG_OK, App::GetNFSShareReq().unserialize(request));
}

TEST(MessagesTest, ShareListRoundTripsWithItsShares) {
    App::GetNFSShareResp written;
    auto* shares = written.getlistobject(1, 1, App::GetNFSShareResp::kListGroup, App::GetNFSShareResp::kShares, true);
    ASSERT_NE(nullptr, shares);
    for (int64_t id : {7, 9}) {
        App::NFSShares share;
        share.setint64(1, 513467887, 10794118, id);
        share.setstring(2, 2, 513467887, 4977462, "store" + std::to_string(id));
        shares->push_back(share);
    }
    std::string xml;
    written.serialize(xml, true);

    App::GetNFSShareResp read;
    ASSERT_EQ(0, read.unserialize(xml)) << xml;
    auto* readShares = read.getlistobject(1, 1, 509091626, 1427983, false);
    ASSERT_NE(nullptr, readShares);
    ASSERT_EQ(2u, readShares->size());
    EXPECT_EQ(7, (*readShares)[0].getint64(1, 513467887, 10794118));
    EXPECT_EQ("store7", (*readShares)[0].getstring(2, 2, 513467887, 4977462));
    EXPECT_EQ(9, (*readShares)[1].getint64(1, 513467887, 10794118));
    EXPECT_EQ("store9", (*readShares)[1].getstring(2, 2, 513467887, 4977462));
}

TEST(MessagesTest, ShareListRejectsForeignElementsAndKeepsItsContent) {
    App::GetNFSShareResp response;
    response.getlistobject(1, 1, 509091626, 1427983, true)->resize(1);
    const std::string foreign =
        "<Msg family=\"30\" id=\"644\"><ListObj tag=\"509091626.1427983\">"
        "<Msg family=\"30\" id=\"3078\"></Msg></ListObj></Msg>";
    EXPECT_EQ(CNMessageBase::MSG_MALFORMED, response.unserialize(foreign));
    const std::string twice =
        "<Msg family=\"30\" id=\"644\"><ListObj tag=\"1.1\"></ListObj><ListObj tag=\"1.1\"></ListObj></Msg>";
    EXPECT_EQ(CNMessageBase::MSG_MALFORMED, response.unserialize(twice));
    ASSERT_NE(nullptr, response.getlistobject(1, 1, 509091626, 1427983, false));
    EXPECT_EQ(1u, response.getlistobject(1, 1, 509091626, 1427983, false)->size());

    ASSERT_EQ(0, response.unserialize("<Msg family=\"30\" id=\"644\"></Msg>"));
    EXPECT_EQ(nullptr, response.getlistobject(1, 1, 509091626, 1427983, false));
}
