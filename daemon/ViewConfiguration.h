// ViewConfiguration: the snapshot records of a subclient's view configuration
// (property quayViewConfiguration): records separated by ";", each a run of
// <Name>value</Name> elements. quayadm add-view/remove-view edit it here, so
// that the module reads exactly what it expects.
//
// A value type; not thread-safe.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class ViewConfiguration {
public:
    // One PIT view, as add-view writes it.
    struct View {
        std::string mountPath;  // the PIT share path, "<store path>-<suffix>"
        std::string toTime;     // seconds since the epoch, or "MM-DD-YYYY HH:MM:SS"
        bool readOnly = false;
        bool writable = false;
        std::string snapName;
        std::string nfsServer;
        std::string clients;    // allowed clients, users and groups of the view
        std::string users;
        std::string groups;
    };

    // Splits text into records; empty pieces are dropped.
    explicit ViewConfiguration(const std::string& text);

    const std::vector<std::string>& records() const { return records_; }
    // The value of the first <name> element of a record and the next
    // </name> after it; false when either tag is missing.
    static bool Element(const std::string& record, const std::string& name, std::string& value);
    // True when some record's MntPath is exactly path.
    bool HasMountPath(const std::string& path) const;
    void Append(const View& view);
    // Removes every record whose MntPath is path; the number removed.
    size_t Remove(const std::string& path);
    // The records joined by ";".
    std::string Text() const;

    static std::string FormatRecord(const View& view);
    // "rw" when a record's view takes writes, else "ro": ReadOnly makes the
    // share read-only, and a view that is not WritablePIT has a read-only
    // store (missing elements count as 0).
    static std::string Rights(const std::string& record);
    // Values must not break the record syntax: no '<', '>', ';' or NUL.
    static bool IsSafeValue(const std::string& value);
    // The time forms the module parses, checked strictly: decimal seconds, or
    // "MM-DD-YYYY HH:MM:SS" with month 1-12, day 1-31, year >= 1970, hour
    // 0-23, minute and second 0-59.
    static bool IsValidTime(const std::string& text);
    // A valid time as seconds since the epoch, read as the module reads it.
    static bool Seconds(const std::string& text, int64_t& seconds);

private:
    std::vector<std::string> records_;
};
