#include "configclient/CNMessageBase.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "configclient/XmlNode.h"

namespace {

// Optional "-" then decimal digits, nothing else, within int64.
bool ParseInt64(const std::string& text, int64_t& value) {
    const size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == start || text.find_first_not_of("0123456789", start) != std::string::npos) {
        return false;
    }
    errno = 0;
    const long long parsed = strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    value = parsed;
    return true;
}

bool ParseInt32(const std::string& text, int& value) {
    int64_t parsed = 0;
    if (!ParseInt64(text, parsed) || parsed < std::numeric_limits<int>::min() ||
        parsed > std::numeric_limits<int>::max()) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

bool ParseIntAttribute(const XmlNode& node, const char* key, int& value) {
    const std::string* text = node.attribute(key);
    return text != nullptr && ParseInt32(*text, value);
}

// "group.field"
bool ParseTag(const XmlNode& node, std::pair<int, int>& key) {
    const std::string* tag = node.attribute("tag");
    if (tag == nullptr) return false;
    const size_t dot = tag->find('.');
    return dot != std::string::npos && ParseInt32(tag->substr(0, dot), key.first) &&
           ParseInt32(tag->substr(dot + 1), key.second);
}

bool IsLeaf(const XmlNode& node) {
    return node.children().empty();
}

bool ReadIntList(const XmlNode& list, std::vector<int>& values) {
    if (!list.textIsBlank()) return false;
    for (const XmlNode& item : list.children()) {
        int value = 0;
        if (item.name() != "I" || !IsLeaf(item) || !ParseInt32(item.text(), value)) return false;
        values.push_back(value);
    }
    return true;
}

}  // namespace

CNMessageBase::~CNMessageBase() = default;

std::vector<int>* CNMessageBase::getlistint(int, int, int tag1, int tag2, bool create) {
    const FieldKey key(tag1, tag2);
    auto found = intLists_.find(key);
    if (found != intLists_.end()) return &found->second;
    if (!create) return nullptr;
    return &intLists_[key];
}

int64_t CNMessageBase::getint64(int, int tag1, int tag2) const {
    const auto found = int64s_.find(FieldKey(tag1, tag2));
    return found != int64s_.end() ? found->second : 0;
}

void CNMessageBase::setint64(int, int tag1, int tag2, int64_t value) {
    int64s_[FieldKey(tag1, tag2)] = value;
}

std::string CNMessageBase::getstring(int, int, int tag1, int tag2) const {
    const auto found = strings_.find(FieldKey(tag1, tag2));
    return found != strings_.end() ? found->second : std::string();
}

void CNMessageBase::setstring(int, int, int tag1, int tag2, const std::string& value) {
    strings_[FieldKey(tag1, tag2)] = value;
}

std::string CNMessageBase::formatTag(const FieldKey& key) {
    return std::to_string(key.first) + "." + std::to_string(key.second);
}

void CNMessageBase::toXml(XmlNode& root) const {
    root = XmlNode("Msg");
    root.setAttribute("family", std::to_string(family_));
    root.setAttribute("id", std::to_string(messageId_));
    for (const auto& field : int64s_) {
        XmlNode& node = root.addChild("I64");
        node.setAttribute("tag", formatTag(field.first));
        node.setText(std::to_string(field.second));
    }
    for (const auto& field : strings_) {
        XmlNode& node = root.addChild("Str");
        node.setAttribute("tag", formatTag(field.first));
        node.setText(field.second);
    }
    for (const auto& field : intLists_) {
        XmlNode& node = root.addChild("ListInt");
        node.setAttribute("tag", formatTag(field.first));
        for (const int value : field.second) node.addChild("I").setText(std::to_string(value));
    }
    writeObjectLists(root);
}

int CNMessageBase::fromXml(const XmlNode& root) {
    int family = 0;
    int id = 0;
    if (root.name() != "Msg" || !root.textIsBlank() || !ParseIntAttribute(root, "family", family) ||
        !ParseIntAttribute(root, "id", id)) {
        return MSG_MALFORMED;
    }
    if (family != family_ || id != messageId_) return MSG_WRONG_MESSAGE;

    // Read into locals first: a bad field leaves the message as it was.
    std::map<FieldKey, int64_t> int64s;
    std::map<FieldKey, std::string> strings;
    std::map<FieldKey, std::vector<int>> intLists;
    ObjectLists objectLists;
    for (const XmlNode& field : root.children()) {
        FieldKey key;
        if (!ParseTag(field, key)) return MSG_MALFORMED;
        bool ok = false;
        if (field.name() == "I64") {
            int64_t value = 0;
            ok = IsLeaf(field) && ParseInt64(field.text(), value) && int64s.emplace(key, value).second;
        } else if (field.name() == "Str") {
            ok = IsLeaf(field) && strings.emplace(key, field.text()).second;
        } else if (field.name() == "ListInt") {
            std::vector<int> values;
            ok = ReadIntList(field, values) && intLists.emplace(key, std::move(values)).second;
        } else if (field.name() == "ListObj") {
            objectLists.emplace_back(key, &field);
            ok = field.textIsBlank();
        }
        if (!ok) return MSG_MALFORMED;
    }
    const int result = readObjectLists(objectLists);
    if (result != MSG_OK) return result;
    int64s_.swap(int64s);
    strings_.swap(strings);
    intLists_.swap(intLists);
    return MSG_OK;
}

int CNMessageBase::serialize(std::string& xml, bool pretty) const {
    XmlNode root;
    toXml(root);
    std::string out;
    root.write(out, pretty);
    xml.swap(out);
    return MSG_OK;
}

int CNMessageBase::serializeUnicode(std::string& xml) const {
    std::string body;
    serialize(body, false);
    xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + body;
    return MSG_OK;
}

int CNMessageBase::unserialize(const std::string& xml) {
    XmlNode root;
    if (!XmlNode::parse(xml, root)) return MSG_MALFORMED;
    return fromXml(root);
}

void CNMessageBase::writeObjectLists(XmlNode&) const {}

int CNMessageBase::readObjectLists(const ObjectLists& lists) {
    return lists.empty() ? MSG_OK : MSG_MALFORMED;
}
