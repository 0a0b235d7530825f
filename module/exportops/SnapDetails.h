// Snap details: the subclient's view configuration, a ";"-separated list of
// snapshot records, each a run of tagged elements ("MntPath", "ReadOnly",
// "NFSServer", ...) read with GetValueFromXmlString. Stateless.
#pragma once
#include <string>
#include <vector>

// The records in order; empty pieces are skipped, so ";" alone yields none.
std::vector<std::string> SplitSnapRecords(const std::string& details);
