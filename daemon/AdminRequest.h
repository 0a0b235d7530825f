// AdminRequest: typed, checked access to the fields of one admin request.
// Every getter fills `error` with a message naming the field when the field
// is missing or malformed, so handlers answer kBadRequest with a clear text.
// Texts never contain NUL bytes: the module receives them as C strings.
#pragma once
#include <string>

#include "daemon/admin/KeyValueList.h"

class AdminRequest {
public:
    explicit AdminRequest(const KeyValueList& fields) : fields_(fields) {}
    AdminRequest(const AdminRequest&) = delete;
    AdminRequest& operator=(const AdminRequest&) = delete;

    std::string Command() const;
    // A required text; empty texts are refused unless allowEmpty.
    bool Text(const char* field, std::string& value, std::string& error, bool allowEmpty = false) const;
    // An optional text: true (value untouched) when absent.
    bool OptionalText(const char* field, std::string& value, bool& present, std::string& error) const;
    // A required id: decimal 1 .. AdminProtocol::kMaxId.
    bool Id(const char* field, unsigned long& value, std::string& error) const;
    // An optional id, also 0 allowed ("none"); value untouched when absent.
    bool OptionalId(const char* field, unsigned long& value, std::string& error) const;
    // An optional "0" or "1"; value untouched when absent.
    bool OptionalFlag(const char* field, bool& value, std::string& error) const;

    // One line for the log: the command and its fields; texts cut to a
    // readable length; the client-update texts are not shown.
    std::string Summary() const;

private:
    const KeyValueList& fields_;
};
