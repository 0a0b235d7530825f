#include "host/LogRequestTag.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

constexpr size_t LogRequestTag::kMaxProblems;
constexpr size_t LogRequestTag::kMaxProblemBytes;

namespace {

thread_local LogRequestTag* currentTag = nullptr;

bool ContainsWord(const std::string& text, const std::string& lowerWord) {
    auto found = std::search(text.begin(), text.end(), lowerWord.begin(), lowerWord.end(),
                             [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    return found != text.end();
}

}  // namespace

LogRequestTag::LogRequestTag(std::string tag) : tag_(std::move(tag)), outer_(currentTag) {
    currentTag = this;
}

LogRequestTag::~LogRequestTag() {
    currentTag = outer_;
}

void LogRequestTag::ClearProblems() {
    problems_.clear();
    unlisted_ = 0;
}

LogRequestTag* LogRequestTag::Current() {
    return currentTag;
}

bool LogRequestTag::IsProblem(int level, const std::string& text) {
    const size_t start = std::min(text.find_first_not_of(' '), text.size());
    if (level <= 0 && strncasecmp(text.c_str() + start, "info", 4) != 0) return true;
    return ContainsWord(text, "error") || ContainsWord(text, "fail") || ContainsWord(text, "warn");
}

void LogRequestTag::Note(int level, const std::string& escapedText) {
    if (!IsProblem(level, escapedText)) return;
    if (problems_.size() >= kMaxProblems) {
        ++unlisted_;
        return;
    }
    problems_.push_back(escapedText.size() <= kMaxProblemBytes ? escapedText
                                                               : escapedText.substr(0, kMaxProblemBytes) + "...");
}
