#include "daemon/quayadm/QuayAdmCommand.h"

#include <cstdlib>

#include "daemon/admin/AdminProtocol.h"
#include "platform/ZelDataDir.h"

namespace {

using namespace AdminProtocol;

struct CommandSpec {
    const char* name;
    std::vector<const char*> required;  // request fields of the positional arguments
    std::vector<const char*> optional;  // fields of trailing optional arguments
    const char* synopsis;
    std::vector<const char*> named = {};  // fields also given as "--<field> VALUE", anywhere
    std::vector<std::pair<const char*, const char*>> flags = {};  // "--<option>" anywhere sets <field> to 1
};

const std::vector<CommandSpec>& Commands() {
    static const std::vector<CommandSpec> commands = {
        {kAddClient, {kIdField, kNameField}, {}, "add-client <id> <name>"},
        {kAddSubclient, {kIdField, kClientField, kNameField}, {kPolicyField},
         "add-subclient <id> <client id> <name> [policy subclient id]"},
        {kRemoveSubclient, {kIdField}, {}, "remove-subclient <id>"},
        {kSetProperty, {kSubclientField, kNameField, kValueField}, {}, "set-property <subclient> <property> <value>"},
        {kRemoveProperty, {kSubclientField, kNameField}, {}, "remove-property <subclient> <property>"},
        {kListSubclients, {}, {}, "list-subclients"},
        {kShowSubclient, {kIdField}, {}, "show-subclient <id>"},
        {kDefineStore, {kSubclientField, kClientField, kStoreField}, {},
         "define-store <subclient> <client id> <store name>"},
        {kAddView, {kSubclientField, kPathField, kToTimeField}, {kReadOnlyField, kWritableField},
         "add-view <subclient> <mount path> <to time> [readonly 0|1] [writable 0|1]\n"
         "           [--clients LIST] [--users LIST] [--groups LIST]   (default: the store's)",
         {kClientsField, kUsersField, kGroupsField}},
        {kRemoveView, {kSubclientField, kPathField}, {}, "remove-view <subclient> <mount path>"},
        {kListViews, {kSubclientField}, {}, "list-views <subclient>"},
        {kReleaseStore, {kSubclientField, kStoreField}, {}, "release-store <subclient> <store name>"},
        {kExport, {kOperationField, kTypeField, kSubclientField, kPathField}, {kSnapField},
         "export create|update|unexport live|pit <subclient> <share path> [snap details]"},
        {kClientUpdate, {kSubclientField, kPathField, kFirstField, kSecondField}, {},
         "client-update <subclient> <share path> <first> <second>"},
        {kStats, {kSubclientField, kPathField}, {}, "stats <subclient> <share path>"},
        {kServerStats, {}, {}, "stats   (quayd's own: connections, calls, latency, shares, stores)"},
        {kListExports, {}, {}, "list-exports"},
        {kPrune, {kSubclientField}, {}, "prune <subclient> [--dry-run]", {}, {{"dry-run", kDryRunField}}},
    };
    return commands;
}

}  // namespace

bool QuayAdmCommand::BuildRequest(const std::vector<std::string>& args, KeyValueList& request, std::string& error) {
    if (args.empty()) {
        error = "no command given";
        return false;
    }
    // stats with no arguments asks for quayd's own statistics.
    const std::string command = args.size() == 1 && args[0] == kStats ? kServerStats : args[0];
    for (const CommandSpec& spec : Commands()) {
        if (command != spec.name) continue;
        // Named options first, wherever they stand; the rest is positional.
        std::vector<std::string> positional;
        KeyValueList named;
        for (size_t i = 1; i < args.size(); ++i) {
            const char* field = nullptr;
            for (const char* option : spec.named) {
                if (args[i] == std::string("--") + option) field = option;
            }
            const char* flag = nullptr;
            for (const auto& option : spec.flags) {
                if (args[i] == std::string("--") + option.first) flag = option.second;
            }
            if (flag != nullptr) {
                named.Add(flag, "1");
            } else if (field == nullptr) {
                positional.push_back(args[i]);
            } else if (i + 1 >= args.size() || named.Has(field)) {
                error = std::string("usage: quayadm ") + spec.synopsis;
                return false;
            } else {
                named.Add(field, args[++i]);
            }
        }
        const size_t given = positional.size();
        if (given < spec.required.size() || given > spec.required.size() + spec.optional.size()) {
            error = std::string("usage: quayadm ") + spec.synopsis;
            return false;
        }
        KeyValueList built;
        built.Add(kVersionField, kVersion);
        built.Add(kCommandField, spec.name);
        for (size_t i = 0; i < given; ++i) {
            const char* field = i < spec.required.size() ? spec.required[i] : spec.optional[i - spec.required.size()];
            // quayd checks every value; ids are checked here as well, so a
            // mistyped id is named before anything is sent.
            unsigned long id = 0;
            if (IsIdField(field) && !ParseId(field, positional[i], field == std::string(kPolicyField), id, error)) {
                return false;
            }
            built.Add(field, positional[i]);
        }
        for (const auto& pair : named.pairs()) built.Add(pair.first, pair.second);
        request = built;
        return true;
    }
    error = "unknown command " + args[0];
    return false;
}

std::string QuayAdmCommand::Usage() {
    std::string usage =
        "usage: quayadm [--socket PATH] <command> [arguments]\n"
        "       quayadm [--socket PATH] --raw   (sends stdin as the request payload)\n"
        "       quayadm --route | --config-db URI | --server NAME  [--timeout SECONDS] <command> ...\n"
        "           (through the shared PostgreSQL configuration database, to --server or to the\n"
        "            server the configuration gives the share or store to; the database is\n"
        "            --config-db, else $QUAY_CONFIG_DB; a server that does not take the request\n"
        "            within --timeout seconds, default 30, never runs it)\n"
        "       quayadm --help | --version\n"
        "commands:\n";
    for (const CommandSpec& spec : Commands()) usage += std::string("  ") + spec.synopsis + "\n";
    usage += "The socket is --socket, else $QUAY_ADMIN_SOCKET, else $QUAY_DATA_DIR/quayd.sock.\n";
    return usage;
}

int QuayAdmCommand::PrintResponse(const KeyValueList& response, FILE* out, FILE* err) {
    std::string codeText;
    std::string text;
    response.Get(kCodeField, codeText);
    response.Get(kTextField, text);
    char* end = nullptr;
    const long code = strtol(codeText.c_str(), &end, 10);
    if (codeText.empty() || *end != '\0') {
        fprintf(err, "quayadm: answer without a code\n");
        return 1;
    }
    fprintf(code == 0 ? out : err, "%ld: %s\n", code, text.c_str());
    for (const std::string& row : response.GetAll(kRowField)) fprintf(out, "%s\n", row.c_str());
    // Lines from quayd's log are escaped already; quayd sends them only
    // with failures.
    for (const std::string& line : response.GetAll(kLogField)) fprintf(err, "  log: %s\n", line.c_str());
    return code == 0 ? 0 : 1;
}

std::string QuayAdmCommand::DefaultSocketPath() {
    const char* configured = getenv("QUAY_ADMIN_SOCKET");
    if (configured != nullptr && *configured != '\0') return configured;
    return ZelDataDir() + "/quayd.sock";
}
