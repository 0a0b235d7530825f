// ConfigSchema: brings a configuration database to the schema version this
// build writes (see FORMAT.md), on any backend: the same tables, with the
// backend's column types.
#pragma once
#include <cstdint>
#include <string>

#include "configclient/ConfigBackend.h"
#include "platform/CPelError.h"

class ConfigSchema {
public:
    // 3 added admin_requests; 2 added store_owners.
    static constexpr int kVersion = 3;

    // Checks the version and creates what is missing, in one transaction
    // that no other quayd can interleave with. With migrate false, only a
    // database at kVersion is accepted (a tool that must not change it).
    // Errors: EIO database failure or not a database; ENOTSUP newer schema
    // (or, without migrate, an older one).
    static CPelError Prepare(ConfigBackend& backend, bool migrate = true);

    // The CREATE statements for backend's types.
    static std::string Tables(const ConfigBackend& backend);
};
