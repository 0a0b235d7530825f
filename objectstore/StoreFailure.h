// StoreFailure: the one exception type used inside the library. Every public
// entry point of ObjectContainer catches it and turns it into a CPelError, so
// no exception crosses the library boundary.
#pragma once
#include <string>

namespace ObjectStore {

class StoreFailure {
public:
    StoreFailure(int errNo, std::string message) : errNo_(errNo), message_(std::move(message)) {}
    int ErrNo() const { return errNo_; }
    const std::string& Message() const { return message_; }

private:
    int errNo_;
    std::string message_;
};

// Throws StoreFailure(errNo, message).
[[noreturn]] inline void Fail(int errNo, const std::string& message) {
    throw StoreFailure(errNo, message);
}

}  // namespace ObjectStore
