// Integer statuses of the configuration client besides 0 (success),
// ZEL_PROP_NOT_FOUND and ZEL_SUBCLIENT_NOT_FOUND (Subclient.h). Values are
// fixed: tests and callers compare against them.
#pragma once

enum ConfigStatus : int {
    CONFIG_OK = 0,
    // A getter or setter named a subclient that the database does not hold.
    CONFIG_NO_SUBCLIENT = 2,
    // The stored text of a property does not parse as the getter's type.
    CONFIG_BAD_VALUE = 3,
    // The database could not be opened or a statement failed.
    CONFIG_DB_ERROR = 4,
    // Malformed or unsupported request (message, application kind, cache id).
    CONFIG_BAD_REQUEST = 5,
    // executeStoredProcedure was asked for a procedure it does not know.
    CONFIG_UNKNOWN_PROCEDURE = 6
};
