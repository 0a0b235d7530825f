// SavedExportsFile: the format of <data dir>/exports.saved and the
// conversions between a saved record and the host's Export. The format is
// described in daemon/ADMIN_PROTOCOL.md ("Saved exports file"): KeyValueList
// lines, a header, then one block per export starting at its "export" line.
//
// Stateless and thread-safe.
#pragma once
#include <string>
#include <vector>

#include "daemon/SavedExport.h"
#include "host/Export.h"

class SavedExportsFile {
public:
    static constexpr char kFormatName[] = "quayd-saved-exports";
    static constexpr char kVersion[] = "1";
    // Bigger files are not read: they cannot come from quayd.
    static constexpr size_t kMaxFileBytes = 64 * 1024 * 1024;

    static std::string Format(const std::vector<SavedExport>& exports);
    // Parses text into exports. A record with a problem (missing or bad
    // field, unknown key, path or share id already used by an earlier
    // record) is left out and described in problems. False, with nothing
    // parsed, when the text is not a saved exports file of this version.
    static bool Parse(const std::string& text, std::vector<SavedExport>& exports,
                      std::vector<std::string>& problems);
    // 0 and the content; ENOENT when there is no file; EFBIG when it is
    // larger than kMaxFileBytes; other errno values from reading.
    static int Read(const std::string& path, std::string& text);

    // The saved form of a served export.
    static SavedExport FromExport(Export& exp);
    // A host Export carrying the saved path, permission, clients, share id
    // and optional parameters: what the host hands to FSM::CreateExport.
    static ExportPtr ToExport(const SavedExport& saved);
};
