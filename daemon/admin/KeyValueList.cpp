#include "daemon/admin/KeyValueList.h"

void KeyValueList::Add(const std::string& key, const std::string& value) {
    pairs_.emplace_back(key, value);
}

bool KeyValueList::Get(const std::string& key, std::string& value) const {
    for (const auto& pair : pairs_) {
        if (pair.first == key) {
            value = pair.second;
            return true;
        }
    }
    return false;
}

bool KeyValueList::Has(const std::string& key) const {
    std::string ignored;
    return Get(key, ignored);
}

std::vector<std::string> KeyValueList::GetAll(const std::string& key) const {
    std::vector<std::string> values;
    for (const auto& pair : pairs_) {
        if (pair.first == key) values.push_back(pair.second);
    }
    return values;
}

std::string KeyValueList::Encode() const {
    std::string text;
    for (const auto& pair : pairs_) {
        if (!IsValidKey(pair.first)) continue;
        text += pair.first;
        text += '=';
        text += Escape(pair.second);
        text += '\n';
    }
    return text;
}

bool KeyValueList::Decode(const std::string& text, std::string& error) {
    pairs_.clear();
    size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        ++lineNumber;
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            error = "line " + std::to_string(lineNumber) + ": not terminated by a newline";
            pairs_.clear();
            return false;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t equals = line.find('=');
        std::string value;
        if (equals == std::string::npos || !IsValidKey(line.substr(0, equals))) {
            error = "line " + std::to_string(lineNumber) + ": expected key=value";
        } else if (!Unescape(line.substr(equals + 1), value)) {
            error = "line " + std::to_string(lineNumber) + ": bad escape in value";
        } else {
            pairs_.emplace_back(line.substr(0, equals), value);
            continue;
        }
        pairs_.clear();
        return false;
    }
    return true;
}

bool KeyValueList::IsValidKey(const std::string& key) {
    if (key.empty()) return false;
    for (char c : key) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string KeyValueList::Escape(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\0': out += "\\0"; break;
            default: out += c;
        }
    }
    return out;
}

bool KeyValueList::Unescape(const std::string& text, std::string& value) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case '\\': out += '\\'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case '0': out += '\0'; break;
            default: return false;
        }
    }
    value.swap(out);
    return true;
}
