#include "module/exportops/XmlValueHelpers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "module/fsm/BackupFSMLog.h"

int GetValueFromXmlString(const std::string& text, const std::string& name, std::string& value) {
    const std::string openTag = "<" + name + ">";
    const std::string closeTag = "</" + name + ">";
    const size_t open = text.find(openTag);
    if (open == std::string::npos) {
        BFSM_LOG(2, "INFO: Failed to parse [%s] from XML string [%s].", openTag.c_str(), text.c_str());
        return -1;
    }
    const size_t valueStart = open + openTag.size();
    const size_t close = text.find(closeTag, valueStart);
    if (close == std::string::npos) {
        BFSM_LOG(-1, "ERROR: Failed to parse [%s] from XML string [%s].", closeTag.c_str(), text.c_str());
        return -1;
    }
    value = text.substr(valueStart, close - valueStart);
    return 0;
}

int GetValueFromXmlString(const std::string& text, const std::string& name, unsigned& value) {
    std::string found;
    if (GetValueFromXmlString(text, name, found) != 0) return -1;
    value = static_cast<unsigned>(atoi(found.c_str()));
    return 0;
}

std::string NumToStr(unsigned value) {
    char buffer[128];
    snprintf(buffer, sizeof(buffer), "%u", value);
    return buffer;
}

std::string NumToStr(unsigned long long value) {
    char buffer[128];
    snprintf(buffer, sizeof(buffer), "%llu", value);
    return buffer;
}

static bool InRange(const char* text, int low, int high) {
    const int value = atoi(text);
    return value >= low && value <= high;
}

bool verifyMonth(const char* text) { return InRange(text, 1, 12); }
bool verifyDate(const char* text) { return InRange(text, 1, 31); }
bool verifyYear(const char* text) { return atoi(text) >= 1970; }
bool verifyHour(const char* text) { return InRange(text, 0, 23); }
bool verifyMin(const char* text) { return InRange(text, 0, 59); }
bool verifySeconds(const char* text) { return InRange(text, 0, 59); }

// Non-empty pieces of text split at any of the delimiter characters
// (re-entrant tokenizer).
static std::vector<std::string> Pieces(const std::string& text, const char* delimiters) {
    std::vector<std::string> pieces;
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    char* save = nullptr;
    for (char* piece = strtok_r(copy.data(), delimiters, &save); piece != nullptr;
         piece = strtok_r(nullptr, delimiters, &save)) {
        pieces.emplace_back(piece);
    }
    return pieces;
}

typedef bool (*FieldCheck)(const char*);

// Checks the first three pieces in order; fewer than three fails.
static bool ReadThree(const std::vector<std::string>& pieces, const FieldCheck checks[3], int out[3]) {
    if (pieces.size() < 3) return false;
    for (int i = 0; i < 3; ++i) {
        if (!checks[i](pieces[i].c_str())) return false;
        out[i] = atoi(pieces[i].c_str());
    }
    return true;
}

bool ParseTime(std::string& text, time_t& out) {
    if (text.empty()) {
        BFSM_LOG(-1, "ERROR: Timestamp is empty.");
        return false;
    }
    const size_t blank = text.find(' ');
    if (blank == std::string::npos) {
        out = static_cast<time_t>(atol(text.c_str()));
        return true;
    }
    static const FieldCheck dateChecks[3] = {verifyMonth, verifyDate, verifyYear};
    static const FieldCheck timeChecks[3] = {verifyHour, verifyMin, verifySeconds};
    int date[3];
    int clock[3];
    if (!ReadThree(Pieces(text.substr(0, blank), "- "), dateChecks, date)) return false;
    if (!ReadThree(Pieces(text.substr(blank), ": "), timeChecks, clock)) return false;

    const time_t now = time(nullptr);
    struct tm current;
    localtime_r(&now, &current);
    struct tm when = {};
    when.tm_mon = date[0] - 1;
    when.tm_mday = date[1];
    when.tm_year = date[2] - 1900;
    when.tm_hour = clock[0];
    when.tm_min = clock[1];
    when.tm_sec = clock[2];
    when.tm_isdst = current.tm_isdst;
    out = mktime(&when);
    return true;
}
