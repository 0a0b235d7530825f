#include "platform/ZelThread.h"

#include <errno.h>

#include <new>
#include <system_error>

ZelThread::~ZelThread() {
    if (!thread_.joinable()) return;
    // A thread that drops its own object cannot join itself; it is ending anyway.
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
    }
    thread_.join();
}

ZelThread& ZelThread::operator=(ZelThread&& other) noexcept {
    if (this != &other) {
        Join();
        thread_ = std::move(other.thread_);
    }
    return *this;
}

int ZelThread::Start(ThreadFunc fn, void* arg) {
    if (fn == nullptr) return EINVAL;
    if (thread_.joinable()) return EBUSY;
    try {
        thread_ = std::thread(fn, arg);
    } catch (const std::system_error& e) {
        return e.code().value() != 0 ? e.code().value() : EAGAIN;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return 0;
}

int ZelThread::Join() {
    if (!thread_.joinable()) return EINVAL;
    if (thread_.get_id() == std::this_thread::get_id()) return EDEADLK;
    thread_.join();
    return 0;
}
