// LogRequestTag: names the lines one thread writes while it serves one
// request, and keeps the warnings and errors among them, so that the
// requester can be told why a request failed instead of "see the log".
//
// Making a tag installs it on the calling thread; the writer puts
// "[<tag>]" into every line that thread writes until the tag is destroyed
// (tags nest: the inner one wins, the outer one is back afterwards). Lines
// written by other threads on the request's behalf are not tagged.
//
// Not thread-safe: a tag is used only by the thread that made it.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

class LogRequestTag {
public:
    // At most this many problem lines are kept, each cut to this many bytes.
    static constexpr size_t kMaxProblems = 32;
    static constexpr size_t kMaxProblemBytes = 1000;

    explicit LogRequestTag(std::string tag);
    ~LogRequestTag();
    LogRequestTag(const LogRequestTag&) = delete;
    LogRequestTag& operator=(const LogRequestTag&) = delete;

    const std::string& tag() const { return tag_; }
    // The escaped texts of the problem lines written under this tag, in order.
    const std::vector<std::string>& problems() const { return problems_; }
    // Problem lines that came after the first kMaxProblems.
    size_t unlisted() const { return unlisted_; }
    void ClearProblems();

    // The calling thread's tag; null when it has none.
    static LogRequestTag* Current();
    // Whether a line reports a warning or an error: a line at level 0 or
    // below that is not an INFO line, or a line at any level whose text
    // speaks of an error, a failure or a warning ("error", "fail", "warn" in
    // any case).
    static bool IsProblem(int level, const std::string& text);
    // The writer hands over every line written under the tag.
    void Note(int level, const std::string& escapedText);

private:
    const std::string tag_;
    LogRequestTag* const outer_;
    std::vector<std::string> problems_;
    size_t unlisted_ = 0;
};
