#include "configclient/ApplicationId.h"

#include "configclient/ConfigDatabase.h"
#include "configclient/ConfigStatus.h"
#include "configclient/Subclient.h"

int ApplicationId::getApplicationId(void*) {
    ConfigDatabase& db = ConfigDatabase::Instance();
    int status = CONFIG_OK;
    if (db.Calls().Record(id_, "getApplicationId", status)) return status;
    // Subclients are the only applications this client knows.
    if (kind_ != KIND_SUBCLIENT) return CONFIG_BAD_REQUEST;
    SubclientRecord record;
    status = db.FindSubclient(id_, record);
    if (status != CONFIG_OK) return status;
    info_.clientId = record.clientId;
    info_.subclientId = record.id;
    info_.clientName = record.clientName;
    info_.subclientName = record.name;
    return CONFIG_OK;
}
