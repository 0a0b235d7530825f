// AdminProtocol: the vocabulary of the admin socket (see
// daemon/ADMIN_PROTOCOL.md): field names, command names, result codes, and
// the tab-separated rows that list-like answers carry.
#pragma once
#include <string>
#include <vector>

namespace AdminProtocol {

constexpr char kVersion[] = "1";

// Fields of every request and response.
constexpr char kVersionField[] = "version";
constexpr char kCommandField[] = "command";
constexpr char kCodeField[] = "code";
constexpr char kTextField[] = "text";
constexpr char kRowField[] = "row";
// Warning and error lines the request wrote to quayd's log; only in
// responses with a code other than 0.
constexpr char kLogField[] = "log";

// Request fields named by the commands.
constexpr char kIdField[] = "id";
constexpr char kNameField[] = "name";
constexpr char kClientField[] = "client";
constexpr char kPolicyField[] = "policy";
constexpr char kSubclientField[] = "subclient";
constexpr char kValueField[] = "value";
constexpr char kStoreField[] = "store";
constexpr char kPathField[] = "path";
constexpr char kToTimeField[] = "toTime";
constexpr char kReadOnlyField[] = "readOnly";
constexpr char kWritableField[] = "writable";
constexpr char kOperationField[] = "op";
constexpr char kTypeField[] = "type";
constexpr char kSnapField[] = "snap";
constexpr char kFirstField[] = "first";
constexpr char kSecondField[] = "second";
constexpr char kClientsField[] = "clients";
constexpr char kUsersField[] = "users";
constexpr char kGroupsField[] = "groups";
constexpr char kDryRunField[] = "dryRun";

// Commands.
constexpr char kAddClient[] = "add-client";
constexpr char kAddSubclient[] = "add-subclient";
constexpr char kRemoveSubclient[] = "remove-subclient";
constexpr char kSetProperty[] = "set-property";
constexpr char kRemoveProperty[] = "remove-property";
constexpr char kListSubclients[] = "list-subclients";
constexpr char kShowSubclient[] = "show-subclient";
constexpr char kDefineStore[] = "define-store";
constexpr char kAddView[] = "add-view";
constexpr char kRemoveView[] = "remove-view";
constexpr char kListViews[] = "list-views";
constexpr char kReleaseStore[] = "release-store";
constexpr char kExport[] = "export";
constexpr char kClientUpdate[] = "client-update";
constexpr char kStats[] = "stats";
constexpr char kListExports[] = "list-exports";
constexpr char kPrune[] = "prune";
constexpr char kServerStats[] = "server-stats";

// Result codes. The module's own response codes (0 to 99) pass through
// unchanged; quayd's codes start at 100 so the two never mix.
enum Code : int {
    kOk = 0,
    kBadRequest = 100,        // malformed message, unknown command, bad or missing field
    kNotPermitted = 101,      // the peer is not root
    kModuleFailed = 102,      // the module refused without a code, or gave no response
    kNotFound = 103,          // configuration: client, subclient, property or view missing
    kAlreadyExists = 104,     // configuration: id, store name or view taken
    kDatabaseError = 105,     // configuration database failure
    kSaveFailed = 106,        // the export changed but the saved exports file was not written
    kInternalError = 107,     // quayd could not serve the request
    kInUse = 108              // the store or subclient still has exported shares
};

// Client, subclient and policy ids: 1 to 2^31-1. The module brings the
// shares of a subclient back at start by a signed 32-bit id, so a larger id
// would export once and be lost at the next restart.
constexpr unsigned long kMaxId = 2147483647;
// The fields whose values are such ids.
bool IsIdField(const std::string& field);
// Strict decimal 0 .. max: digits only, no sign, no blanks.
bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value);
// An id field's text: 1 .. kMaxId, or also 0 ("none") with allowZero. False
// with a message naming the field.
bool ParseId(const std::string& field, const std::string& text, bool allowZero, unsigned long& id,
             std::string& error);

// Export types of the export command: live (1) and pit (2), by name or
// number. False for anything else, which never reaches the module.
bool ParseExportType(const std::string& text, int& type);

// A row: fields joined by tabs, each field escaped like a KeyValueList value
// (so a field never holds a raw tab or newline).
std::string JoinRow(const std::vector<std::string>& fields);
// The fields of a row; false when a field holds a bad escape.
bool SplitRow(const std::string& row, std::vector<std::string>& fields);

}  // namespace AdminProtocol
