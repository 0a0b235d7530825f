// QuayAdmCommand: the command line of quayadm, turned into an admin request,
// and the printing of quayd's answer. Stateless.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "daemon/admin/KeyValueList.h"

class QuayAdmCommand {
public:
    // args: the command and its arguments (no program name, no options).
    // False with a usage problem when the command is unknown or has the
    // wrong number of arguments. Values are checked by quayd.
    static bool BuildRequest(const std::vector<std::string>& args, KeyValueList& request, std::string& error);
    static std::string Usage();
    // Prints "<code>: <text>" (to out on code 0, else to err), then each row
    // on its own line to out, then each log line as "  log: <line>" to err.
    // Returns the exit status: 0 on code 0, else 1.
    static int PrintResponse(const KeyValueList& response, FILE* out, FILE* err);
    // QUAY_ADMIN_SOCKET, else <data dir>/quayd.sock.
    static std::string DefaultSocketPath();
};
