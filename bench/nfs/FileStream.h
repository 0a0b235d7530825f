#pragma once

#include "NfsConnection.h"

#include <string>

// Whole files in 1 MiB calls: created and written with a COMMIT at the end,
// or read back. False on failure, said on stderr.
bool WriteWholeFile(NfsConnection& connection, const std::string& path, int mib);
bool ReadWholeFile(NfsConnection& connection, const std::string& path, int mib);
