#include "daemon/admin/AdminProtocol.h"

#include "daemon/admin/KeyValueList.h"

namespace AdminProtocol {

bool IsIdField(const std::string& field) {
    return field == kIdField || field == kClientField || field == kSubclientField || field == kPolicyField;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text.size() > 20) return false;
    unsigned long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const unsigned long digit = static_cast<unsigned long>(c - '0');
        if (result > (max - digit) / 10) return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool ParseId(const std::string& field, const std::string& text, bool allowZero, unsigned long& id,
             std::string& error) {
    unsigned long parsed = 0;
    if (!ParseNumber(text, kMaxId, parsed) || (parsed == 0 && !allowZero)) {
        error = "field " + field + " must be a number from " + (allowZero ? "0" : "1") + " to " +
                std::to_string(kMaxId) + ", not [" + text + "]";
        if (ParseNumber(text, ~0ul, parsed) && parsed > kMaxId) {
            error += ": quayd brings shares back at start by signed 32-bit ids";
        }
        return false;
    }
    id = parsed;
    return true;
}

bool ParseExportType(const std::string& text, int& type) {
    if (text == "live" || text == "1") type = 1;
    else if (text == "pit" || text == "2") type = 2;
    else return false;
    return true;
}

std::string JoinRow(const std::vector<std::string>& fields) {
    std::string row;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) row += '\t';
        row += KeyValueList::Escape(fields[i]);
    }
    return row;
}

bool SplitRow(const std::string& row, std::vector<std::string>& fields) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        const size_t tab = row.find('\t', start);
        std::string field;
        if (!KeyValueList::Unescape(row.substr(start, tab == std::string::npos ? std::string::npos : tab - start),
                                    field)) {
            return false;
        }
        out.push_back(field);
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    fields.swap(out);
    return true;
}

}  // namespace AdminProtocol
