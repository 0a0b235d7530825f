#include "daemon/ViewConfiguration.h"

#include <cstdlib>
#include <ctime>

namespace {

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Splits at sep; every piece must be digits of the given width range.
bool NumberFields(const std::string& text, char sep, std::vector<long>& out) {
    out.clear();
    size_t start = 0;
    while (true) {
        const size_t end = text.find(sep, start);
        const std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!AllDigits(piece) || piece.size() > 4) return false;
        out.push_back(atol(piece.c_str()));
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

bool InRange(long value, long low, long high) {
    return value >= low && value <= high;
}

}  // namespace

ViewConfiguration::ViewConfiguration(const std::string& text) {
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find(';', start);
        const std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!piece.empty()) records_.push_back(piece);
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

bool ViewConfiguration::Element(const std::string& record, const std::string& name, std::string& value) {
    const std::string open = "<" + name + ">";
    const std::string close = "</" + name + ">";
    const size_t begin = record.find(open);
    if (begin == std::string::npos) return false;
    const size_t valueStart = begin + open.size();
    const size_t end = record.find(close, valueStart);
    if (end == std::string::npos) return false;
    value = record.substr(valueStart, end - valueStart);
    return true;
}

bool ViewConfiguration::HasMountPath(const std::string& path) const {
    for (const std::string& record : records_) {
        std::string mount;
        if (Element(record, "MntPath", mount) && mount == path) return true;
    }
    return false;
}

void ViewConfiguration::Append(const View& view) {
    records_.push_back(FormatRecord(view));
}

size_t ViewConfiguration::Remove(const std::string& path) {
    size_t removed = 0;
    for (auto it = records_.begin(); it != records_.end();) {
        std::string mount;
        if (Element(*it, "MntPath", mount) && mount == path) {
            it = records_.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    return removed;
}

std::string ViewConfiguration::Text() const {
    std::string text;
    for (size_t i = 0; i < records_.size(); ++i) {
        if (i > 0) text += ';';
        text += records_[i];
    }
    return text;
}

std::string ViewConfiguration::FormatRecord(const View& view) {
    return "<MntPath>" + view.mountPath + "</MntPath><ToTime>" + view.toTime + "</ToTime><ReadOnly>" +
           (view.readOnly ? "1" : "0") + "</ReadOnly><WritablePIT>" + (view.writable ? "1" : "0") +
           "</WritablePIT><SnapName>" + view.snapName + "</SnapName><NFSServer>" + view.nfsServer +
           "</NFSServer><NFSClient>" + view.clients + "</NFSClient><UID>" + view.users + "</UID><GID>" + view.groups +
           "</GID>";
}

std::string ViewConfiguration::Rights(const std::string& record) {
    std::string readOnly;
    std::string writable;
    Element(record, "ReadOnly", readOnly);
    Element(record, "WritablePIT", writable);
    return atol(readOnly.c_str()) == 0 && atol(writable.c_str()) != 0 ? "rw" : "ro";
}

bool ViewConfiguration::IsSafeValue(const std::string& value) {
    return value.find_first_of(std::string("<>;\0", 4)) == std::string::npos;
}

bool ViewConfiguration::IsValidTime(const std::string& text) {
    if (AllDigits(text)) return text.size() <= 18;
    const size_t blank = text.find(' ');
    if (blank == std::string::npos || text.find(' ', blank + 1) != std::string::npos) return false;
    std::vector<long> date;
    std::vector<long> time;
    if (!NumberFields(text.substr(0, blank), '-', date) || date.size() != 3) return false;
    if (!NumberFields(text.substr(blank + 1), ':', time) || time.size() != 3) return false;
    return InRange(date[0], 1, 12) && InRange(date[1], 1, 31) && date[2] >= 1970 && InRange(time[0], 0, 23) &&
           InRange(time[1], 0, 59) && InRange(time[2], 0, 59);
}

bool ViewConfiguration::Seconds(const std::string& text, int64_t& seconds) {
    if (!IsValidTime(text)) return false;
    if (AllDigits(text)) {
        seconds = std::stoll(text);
        return true;
    }
    // As the module reads it: local time, with the daylight-saving flag of
    // the present moment.
    const size_t blank = text.find(' ');
    std::vector<long> date;
    std::vector<long> time;
    NumberFields(text.substr(0, blank), '-', date);
    NumberFields(text.substr(blank + 1), ':', time);
    const time_t now = ::time(nullptr);
    struct tm parts{};
    localtime_r(&now, &parts);
    parts.tm_mon = static_cast<int>(date[0] - 1);
    parts.tm_mday = static_cast<int>(date[1]);
    parts.tm_year = static_cast<int>(date[2] - 1900);
    parts.tm_hour = static_cast<int>(time[0]);
    parts.tm_min = static_cast<int>(time[1]);
    parts.tm_sec = static_cast<int>(time[2]);
    seconds = static_cast<int64_t>(mktime(&parts));
    return true;
}
