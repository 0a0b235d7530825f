#include "daemon/admin/AdminProtocol.h"

#include "daemon/admin/KeyValueList.h"

namespace AdminProtocol {

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
