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
constexpr char kExport[] = "export";
constexpr char kClientUpdate[] = "client-update";
constexpr char kStats[] = "stats";
constexpr char kListExports[] = "list-exports";

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
    kInternalError = 107      // quayd could not serve the request
};

// A row: fields joined by tabs, each field escaped like a KeyValueList value
// (so a field never holds a raw tab or newline).
std::string JoinRow(const std::vector<std::string>& fields);
// The fields of a row; false when a field holds a bad escape.
bool SplitRow(const std::string& row, std::vector<std::string>& fields);

}  // namespace AdminProtocol
