// RemoteAdmin: quayadm's way to a quayd on another server, through the
// configuration database that the servers share. The request goes in as a
// row addressed to the server (ServerRequestQueue) with a deadline; the
// server's quayd takes it, runs it as it would a request on its admin
// socket and writes the answer, which quayadm prints as usual. A request the
// server did not take by its deadline is withdrawn and never runs.
#pragma once
#include <string>

#include "daemon/admin/KeyValueList.h"

class RemoteAdmin {
public:
    // Once taken, a request may run as long as on the admin socket.
    static constexpr int kAnswerTimeoutSeconds = 300;

    // The server that serves what request names: the subclient's store or
    // view (export, stats, client-update: the share path; prune: the store).
    // False with a message when the configuration does not tell one.
    static bool ServerFor(const std::string& location, const KeyValueList& request, std::string& server,
                          std::string& error);
    // Sends payload to server and waits for the answer: 0 and the answer,
    // else 1 with a message (the request did not run, or its fate is told).
    static int Exchange(const std::string& location, const std::string& server, const std::string& payload,
                        int timeoutSeconds, std::string& answer, std::string& error);
};
