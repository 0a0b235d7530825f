// CNMessageBase: a message of the configuration protocol: a family and a
// message id, and fields addressed by numbers. The accessors take the
// numbers the protocol's callers pass; the last two of each call are the
// field's tag (group, field), which alone addresses it. The leading numbers
// name the accessor's form and are not part of the address. Fields of
// different kinds (int64, string, int list) live apart, so one tag may carry
// one field of each kind.
//
// The serialised form is a small XML document (configclient/FORMAT.md):
//   <Msg family="30" id="3078"><ListInt tag="506452600.9910465"><I>1</I></ListInt></Msg>
//
// Messages are value types (copyable) and not thread-safe: one thread owns
// an object at a time. No method throws.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class XmlNode;

class CNMessageBase {
public:
    enum Result { MSG_OK = 0, MSG_MALFORMED = 1, MSG_WRONG_MESSAGE = 2 };

    CNMessageBase(int family, int messageId) : family_(family), messageId_(messageId) {}
    virtual ~CNMessageBase();
    CNMessageBase(const CNMessageBase&) = default;
    CNMessageBase& operator=(const CNMessageBase&) = default;

    int family() const { return family_; }
    int messageId() const { return messageId_; }

    // The int list with this tag. Absent: created empty when create is true,
    // else null. The pointer stays valid until the message is destroyed,
    // assigned or unserialised.
    std::vector<int>* getlistint(int, int, int tag1, int tag2, bool create);
    // 0 when absent.
    int64_t getint64(int, int tag1, int tag2) const;
    void setint64(int, int tag1, int tag2, int64_t value);
    // "" when absent. Strings are bytes; every byte survives a round trip.
    std::string getstring(int, int, int tag1, int tag2) const;
    void setstring(int, int, int tag1, int tag2, const std::string& value);

    // Always 0. pretty indents one element per line.
    int serialize(std::string& xml, bool pretty) const;
    // Compact form behind an <?xml version="1.0" encoding="UTF-8"?>
    // declaration; text without NUL bytes. Always 0.
    int serializeUnicode(std::string& xml) const;
    // Replaces every field with those of xml. MSG_MALFORMED for text that is
    // not a message of this format, MSG_WRONG_MESSAGE for another family or
    // id; on any error the message is left unchanged.
    int unserialize(const std::string& xml);

    // Tree forms behind serialize/unserialize, for messages nested in lists.
    void toXml(XmlNode& root) const;
    int fromXml(const XmlNode& root);

protected:
    using FieldKey = std::pair<int, int>;
    using ObjectLists = std::vector<std::pair<FieldKey, const XmlNode*>>;

    // Messages that hold lists of messages add them to root, and take them
    // back from the ListObj elements found (all of them in one call, to be
    // applied only when it returns MSG_OK). The base holds none.
    virtual void writeObjectLists(XmlNode& root) const;
    virtual int readObjectLists(const ObjectLists& lists);

    static std::string formatTag(const FieldKey& key);

private:
    int family_;
    int messageId_;
    std::map<FieldKey, int64_t> int64s_;
    std::map<FieldKey, std::string> strings_;
    std::map<FieldKey, std::vector<int>> intLists_;
};
