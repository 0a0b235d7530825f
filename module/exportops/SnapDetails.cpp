#include "module/exportops/SnapDetails.h"

#include "platform/FXString.h"

std::vector<std::string> SplitSnapRecords(const std::string& details) {
    std::vector<std::string> records;
    FXString::Split(details, ";", records, 1);
    return records;
}
