// The host's data directory: QUAY_DATA_DIR, else /var/lib/quay.
#pragma once
#include <string>

std::string ZelDataDir();
