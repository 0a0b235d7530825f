#include "configclient/XmlNode.h"

#include <cstdint>
#include <cstdio>

// Recursive-descent reader over one document.
class XmlParser {
public:
    explicit XmlParser(const std::string& text) : text_(text) {}

    bool document(XmlNode& root) {
        if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;  // UTF-8 byte order mark
        skipBlanks();
        if (text_.compare(pos_, 5, "<?xml") == 0) {
            const size_t end = text_.find("?>", pos_);
            if (end == std::string::npos) return false;
            pos_ = end + 2;
            skipBlanks();
        }
        if (!element(root, 0)) return false;
        skipBlanks();
        return pos_ == text_.size();
    }

private:
    static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    static bool isNameChar(char c, bool first) {
        const bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        return alpha || (!first && ((c >= '0' && c <= '9') || c == '.' || c == '-'));
    }

    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }
    void skipBlanks() {
        while (!atEnd() && isBlank(peek())) ++pos_;
    }
    bool take(char c) {
        if (atEnd() || peek() != c) return false;
        ++pos_;
        return true;
    }

    bool name(std::string& out) {
        const size_t start = pos_;
        while (!atEnd() && isNameChar(peek(), pos_ == start)) ++pos_;
        out = text_.substr(start, pos_ - start);
        return !out.empty();
    }

    bool element(XmlNode& node, int depth) {
        if (depth >= XmlNode::kMaxDepth || !take('<') || !name(node.name_)) return false;
        if (!attributes(node)) return false;
        if (take('/')) return take('>');
        if (!take('>')) return false;
        return content(node, depth);
    }

    bool attributes(XmlNode& node) {
        for (;;) {
            const size_t before = pos_;
            skipBlanks();
            if (atEnd()) return false;
            if (peek() == '/' || peek() == '>') return true;
            std::string key;
            std::string value;
            if (pos_ == before || !name(key)) return false;  // attributes need a blank before them
            skipBlanks();
            if (!take('=')) return false;
            skipBlanks();
            if (!quoted(value) || node.attribute(key) != nullptr) return false;
            node.attributes_.emplace_back(key, value);
        }
    }

    bool quoted(std::string& value) {
        if (atEnd() || (peek() != '"' && peek() != '\'')) return false;
        const char quote = text_[pos_++];
        const size_t end = text_.find(quote, pos_);
        if (end == std::string::npos) return false;
        const std::string raw = text_.substr(pos_, end - pos_);
        pos_ = end + 1;
        return raw.find('<') == std::string::npos && unescape(raw, value);
    }

    bool content(XmlNode& node, int depth) {
        for (;;) {
            if (atEnd()) return false;
            if (text_.compare(pos_, 2, "</") == 0) {
                pos_ += 2;
                std::string closing;
                if (!name(closing) || closing != node.name_) return false;
                skipBlanks();
                return take('>');
            }
            if (peek() == '<') {
                node.children_.emplace_back();
                if (!element(node.children_.back(), depth + 1)) return false;
                continue;
            }
            const size_t end = text_.find('<', pos_);
            if (end == std::string::npos) return false;
            std::string piece;
            if (!unescape(text_.substr(pos_, end - pos_), piece)) return false;
            node.text_ += piece;
            pos_ = end;
        }
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

    const std::string& text_;
    size_t pos_ = 0;
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
    XmlParser parser(text);
    if (!parser.document(parsed)) return false;
    root = std::move(parsed);
    return true;
}
