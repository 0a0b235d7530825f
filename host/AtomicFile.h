// Whole-file replacement that readers never see half done: the content goes
// to a temporary file beside the target, is synced, then renamed over it.
// Results are 0 or an errno value. Thread-safe as long as no two callers
// write the same target at once (temporary names are unique).
#pragma once
#include <string>

class AtomicFile {
public:
    // Creates the folder and its parents (mode 0755) when missing.
    static int MakeDirs(const std::string& dir);
    // Replaces the file at path with content, creating its folder first.
    // On failure the old file is untouched and no temporary file remains.
    static int Write(const std::string& path, const std::string& content);
    // Removes the file; 0 also when there was none.
    static int Remove(const std::string& path);
};
