// XmlNode: the small XML tree that messages are serialised through. It knows
// what the message format needs and nothing more: elements, attributes,
// text, the five named entities and numeric character references, and an
// optional leading <?xml ...?> declaration. Comments, CDATA, DOCTYPE,
// processing instructions and namespaces are rejected as malformed; no
// entity is ever fetched from outside the document. Documents are read with
// pugixml. A value type, not thread-safe.
#pragma once
#include <string>
#include <utility>
#include <vector>

class XmlNode {
public:
    // Deeper documents are rejected: building the tree recurses once per level.
    static constexpr int kMaxDepth = 32;

    XmlNode() = default;
    explicit XmlNode(std::string name) : name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    // Character data of the element (all pieces joined), unescaped.
    const std::string& text() const { return text_; }
    void setText(const std::string& text) { text_ = text; }
    const std::vector<XmlNode>& children() const { return children_; }
    // Null when absent.
    const std::string* attribute(const std::string& key) const;
    void setAttribute(const std::string& key, const std::string& value);
    XmlNode& addChild(const std::string& name);
    // True when the text is empty or only blanks (indentation).
    bool textIsBlank() const;

    // Appends the element to out. Pretty output indents child elements; the
    // text of a leaf is written exactly, so both forms read back the same.
    void write(std::string& out, bool pretty) const;
    // Parses a whole document into root. False on malformed text; root is
    // left unchanged then.
    static bool parse(const std::string& text, XmlNode& root);
    // Escapes & < > " ' and control bytes for text and attribute values.
    static std::string escape(const std::string& raw);

private:
    void writeIndented(std::string& out, bool pretty, int depth) const;

    std::string name_;
    std::vector<std::pair<std::string, std::string>> attributes_;
    std::string text_;
    std::vector<XmlNode> children_;

    friend class XmlParser;
};
