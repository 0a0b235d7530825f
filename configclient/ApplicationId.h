// ApplicationId: identifies an application (kind 2 = subclient) and its client.
#pragma once
#include <string>

struct AppIdInfo {
    unsigned long clientId = 0;
    unsigned long subclientId = 0;
    std::string clientName;
    std::string subclientName;
};

class ApplicationId {
public:
    enum { KIND_SUBCLIENT = 2 };
    ApplicationId(unsigned long kind, unsigned long id) : kind_(kind), id_(id) {}
    // 0 when the application exists (and fills the info), non-zero otherwise.
    int getApplicationId(void* ctx);
    const AppIdInfo& getAppIdInfo() const { return info_; }

private:
    unsigned long kind_;
    unsigned long id_;
    AppIdInfo info_;
};
