// SubclientRecord: one row of the subclients table with its client's name.
#pragma once
#include <string>

struct SubclientRecord {
    unsigned long id = 0;
    unsigned long clientId = 0;
    std::string name;
    std::string clientName;
    // 0 when the subclient has no associated policy subclient.
    unsigned long policyId = 0;
};
