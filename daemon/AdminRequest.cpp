#include "daemon/AdminRequest.h"

#include "daemon/admin/AdminProtocol.h"

namespace {

constexpr size_t kSummaryValueChars = 96;

}  // namespace

std::string AdminRequest::Command() const {
    std::string command;
    fields_.Get(AdminProtocol::kCommandField, command);
    return command;
}

bool AdminRequest::Text(const char* field, std::string& value, std::string& error, bool allowEmpty) const {
    bool present = false;
    std::string text;
    if (!OptionalText(field, text, present, error)) return false;
    if (!present) {
        error = std::string("missing field ") + field;
        return false;
    }
    if (text.empty() && !allowEmpty) {
        error = std::string("field ") + field + " must not be empty";
        return false;
    }
    value = text;
    return true;
}

bool AdminRequest::OptionalText(const char* field, std::string& value, bool& present,
                                std::string& error) const {
    std::string text;
    present = fields_.Get(field, text);
    if (!present) return true;
    if (text.find('\0') != std::string::npos) {
        error = std::string("field ") + field + " must not contain NUL bytes";
        return false;
    }
    value = text;
    return true;
}

bool AdminRequest::Id(const char* field, unsigned long& value, std::string& error) const {
    std::string text;
    if (!Text(field, text, error)) return false;
    return AdminProtocol::ParseId(field, text, false, value, error);
}

bool AdminRequest::OptionalId(const char* field, unsigned long& value, std::string& error) const {
    std::string text;
    if (!fields_.Get(field, text)) return true;
    return AdminProtocol::ParseId(field, text, true, value, error);
}

bool AdminRequest::OptionalFlag(const char* field, bool& value, std::string& error) const {
    std::string text;
    if (!fields_.Get(field, text)) return true;
    if (text != "0" && text != "1") {
        error = std::string("field ") + field + " must be 0 or 1, not [" + text + "]";
        return false;
    }
    value = text == "1";
    return true;
}

std::string AdminRequest::Summary() const {
    std::string summary = Command().empty() ? std::string("(no command)") : Command();
    for (const auto& pair : fields_.pairs()) {
        if (pair.first == AdminProtocol::kCommandField || pair.first == AdminProtocol::kVersionField) continue;
        std::string value;
        if (pair.first == AdminProtocol::kFirstField || pair.first == AdminProtocol::kSecondField) {
            value = "(not shown)";
        } else {
            value = KeyValueList::Escape(pair.second.substr(0, kSummaryValueChars));
            if (pair.second.size() > kSummaryValueChars) value += "...";
        }
        summary += " " + pair.first + "=[" + value + "]";
    }
    return summary;
}
