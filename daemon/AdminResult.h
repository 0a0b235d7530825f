// AdminResult: what quayd answers to one admin request: a code of
// AdminProtocol::Code (or a module response code), a text, and rows for
// list-like answers (AdminProtocol::JoinRow). A value type.
#pragma once
#include <string>
#include <vector>

#include "daemon/admin/AdminProtocol.h"
#include "daemon/admin/KeyValueList.h"

struct AdminResult {
    int code = AdminProtocol::kOk;
    std::string text;
    std::vector<std::string> rows;
    std::vector<std::string> logLines;  // warning and error lines of the request, for a failure

    static AdminResult Ok(const std::string& text) { return Make(AdminProtocol::kOk, text); }
    static AdminResult Make(int code, const std::string& text) {
        AdminResult result;
        result.code = code;
        result.text = text;
        return result;
    }
    void AddRow(const std::vector<std::string>& fields) { rows.push_back(AdminProtocol::JoinRow(fields)); }

    // The response message: version, code, text, the rows, then the log lines.
    KeyValueList ToMessage() const {
        KeyValueList message;
        message.Add(AdminProtocol::kVersionField, AdminProtocol::kVersion);
        message.Add(AdminProtocol::kCodeField, std::to_string(code));
        message.Add(AdminProtocol::kTextField, text);
        for (const std::string& row : rows) message.Add(AdminProtocol::kRowField, row);
        for (const std::string& line : logLines) message.Add(AdminProtocol::kLogField, line);
        return message;
    }
};
