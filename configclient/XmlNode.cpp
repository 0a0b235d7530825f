#include "configclient/XmlNode.h"

#include <cstdint>
#include <cstdio>

#include <pugixml.hpp>

// Reading is pugixml's (Debian's libpugixml): it finds the structure and
// keeps the text raw. What it may accept and the message format does not
// (comments, CDATA, DOCTYPE, processing instructions, entities other than the
// five named ones, names outside [A-Za-z_][A-Za-z0-9_.-]*, duplicate
// attributes, nesting deeper than kMaxDepth) is refused here, so that one
// reading of a document is all there is. pugixml expands no entity of its
// own and reads no DTD, so nothing outside the document is ever fetched.
class XmlParser {
public:
    static bool document(const std::string& text, XmlNode& root) {
        // A UTF-8 byte order mark may lead the text.
        const size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        pugi::xml_document doc;
        const pugi::xml_parse_result parsed =
            doc.load_buffer(text.data() + start, text.size() - start, kOptions, pugi::encoding_utf8);
        if (!parsed) return false;
        bool haveRoot = false;
        bool first = true;
        for (pugi::xml_node node = doc.first_child(); node; node = node.next_sibling()) {
            switch (node.type()) {
                case pugi::node_declaration:
                    if (!first) return false;
                    break;
                case pugi::node_pcdata:
                    if (!isBlank(node.value())) return false;
                    break;
                case pugi::node_element:
                    if (haveRoot || !element(node, root, 0)) return false;
                    haveRoot = true;
                    break;
                default:
                    return false;
            }
            first = false;
        }
        return haveRoot;
    }

private:
    // Raw text and attribute values, whitespace kept as it is; comments,
    // CDATA, DOCTYPE, processing instructions and text beside the root
    // element become nodes, to be refused.
    static constexpr unsigned kOptions = pugi::parse_declaration | pugi::parse_comments | pugi::parse_cdata |
                                         pugi::parse_doctype | pugi::parse_pi | pugi::parse_ws_pcdata |
                                         pugi::parse_fragment;

    static bool isBlank(const char* text) {
        for (; *text != '\0'; ++text) {
            if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') return false;
        }
        return true;
    }

    static bool isName(const char* name) {
        if (*name == '\0') return false;
        for (const char* c = name; *c != '\0'; ++c) {
            const bool alpha = (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || *c == '_';
            const bool later = (*c >= '0' && *c <= '9') || *c == '.' || *c == '-';
            if (!alpha && (c == name || !later)) return false;
        }
        return true;
    }

    static bool element(const pugi::xml_node& source, XmlNode& node, int depth) {
        if (depth >= XmlNode::kMaxDepth || !isName(source.name())) return false;
        node.name_ = source.name();
        for (pugi::xml_attribute attribute = source.first_attribute(); attribute; attribute = attribute.next_attribute()) {
            std::string value;
            const std::string raw = attribute.value();
            if (!isName(attribute.name()) || raw.find('<') != std::string::npos || !unescape(raw, value) ||
                node.attribute(attribute.name()) != nullptr) {
                return false;
            }
            node.attributes_.emplace_back(attribute.name(), value);
        }
        for (pugi::xml_node child = source.first_child(); child; child = child.next_sibling()) {
            if (child.type() == pugi::node_pcdata) {
                if (!unescape(child.value(), node.text_)) return false;
            } else if (child.type() == pugi::node_element) {
                node.children_.emplace_back();
                if (!element(child, node.children_.back(), depth + 1)) return false;
            } else {
                return false;
            }
        }
        return true;
    }

    static void appendUtf8(uint32_t cp, std::string& out) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    static bool characterReference(const std::string& ref, std::string& out) {
        const bool hex = ref.size() > 1 && (ref[1] == 'x' || ref[1] == 'X');
        const size_t start = hex ? 2 : 1;
        if (ref.size() <= start || ref.size() - start > 8) return false;
        uint32_t cp = 0;
        for (size_t i = start; i < ref.size(); ++i) {
            const char c = ref[i];
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit < 0) return false;
            cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        appendUtf8(cp, out);
        return true;
    }

    // The five named entities and character references; any other "&" is
    // malformed.
    static bool unescape(const std::string& raw, std::string& out) {
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '&') {
                out += raw[i];
                continue;
            }
            const size_t semi = raw.find(';', i);
            if (semi == std::string::npos) return false;
            const std::string ref = raw.substr(i + 1, semi - i - 1);
            if (ref == "amp") {
                out += '&';
            } else if (ref == "lt") {
                out += '<';
            } else if (ref == "gt") {
                out += '>';
            } else if (ref == "quot") {
                out += '"';
            } else if (ref == "apos") {
                out += '\'';
            } else if (ref.empty() || ref[0] != '#' || !characterReference(ref, out)) {
                return false;
            }
            i = semi;
        }
        return true;
    }
};

const std::string* XmlNode::attribute(const std::string& key) const {
    for (const auto& attribute : attributes_) {
        if (attribute.first == key) return &attribute.second;
    }
    return nullptr;
}

void XmlNode::setAttribute(const std::string& key, const std::string& value) {
    for (auto& attribute : attributes_) {
        if (attribute.first == key) {
            attribute.second = value;
            return;
        }
    }
    attributes_.emplace_back(key, value);
}

XmlNode& XmlNode::addChild(const std::string& name) {
    children_.emplace_back(name);
    return children_.back();
}

bool XmlNode::textIsBlank() const {
    return text_.find_first_not_of(" \t\r\n") == std::string::npos;
}

std::string XmlNode::escape(const std::string& raw) {
    std::string out;
    out.reserve(raw.size());
    for (const char c : raw) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    // Control bytes (NUL included) survive as references.
                    char ref[8];
                    snprintf(ref, sizeof(ref), "&#x%X;", static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += ref;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

void XmlNode::write(std::string& out, bool pretty) const {
    writeIndented(out, pretty, 0);
    if (pretty) out += '\n';
}

void XmlNode::writeIndented(std::string& out, bool pretty, int depth) const {
    out += '<';
    out += name_;
    for (const auto& attribute : attributes_) {
        out += ' ' + attribute.first + "=\"" + escape(attribute.second) + '"';
    }
    out += '>';
    if (children_.empty()) {
        out += escape(text_);
    } else {
        for (const XmlNode& child : children_) {
            if (pretty) out += '\n' + std::string(static_cast<size_t>(depth + 1) * 2, ' ');
            child.writeIndented(out, pretty, depth + 1);
        }
        if (pretty) out += '\n' + std::string(static_cast<size_t>(depth) * 2, ' ');
    }
    out += "</" + name_ + '>';
}

bool XmlNode::parse(const std::string& text, XmlNode& root) {
    XmlNode parsed;
    if (!XmlParser::document(text, parsed)) return false;
    root = std::move(parsed);
    return true;
}
