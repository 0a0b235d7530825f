// CPelError: the error value returned across component boundaries (object
// store, disk cache, ACL converter). Success is errNo 0. Copyable value type;
// no exceptions cross a component boundary.
#pragma once
#include <string>

class CPelError {
public:
    CPelError() = default;
    CPelError(int errNo, std::string message) : errNo_(errNo), message_(std::move(message)) {}

    static CPelError Success() { return CPelError(); }

    bool IsError() const { return errNo_ != 0; }
    int ErrNo() const { return errNo_; }
    const std::string& Message() const { return message_; }
    // "Success" or "<message> (errno N)" - used in log lines.
    std::string AsString() const;

private:
    int errNo_ = 0;
    std::string message_;
};
