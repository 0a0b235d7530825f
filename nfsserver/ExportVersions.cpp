#include "nfsserver/ExportVersions.h"

#include <string>

bool ExportVersions::Serves(const Export& exp, unsigned version) {
    const std::string versions = exp.GetNfsVersions();
    if (versions.find_first_not_of(" ,") == std::string::npos) return true;
    const std::string wanted = std::to_string(version);
    size_t start = 0;
    while (start <= versions.size()) {
        size_t end = versions.find(',', start);
        if (end == std::string::npos) end = versions.size();
        std::string item = versions.substr(start, end - start);
        const size_t first = item.find_first_not_of(' ');
        const size_t last = item.find_last_not_of(' ');
        if (first != std::string::npos && item.substr(first, last - first + 1) == wanted) return true;
        start = end + 1;
    }
    return false;
}
