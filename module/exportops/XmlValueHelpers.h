// Small text helpers of the export operations: element values from tagged
// texts such as the snap details, number formatting, and time-stamp parsing.
// Stateless; safe on any thread.
#pragma once
#include <ctime>
#include <string>

// Value between the first "<name>" and the next "</name>" after it. 0 when
// found (value set), -1 when not (value untouched).
int GetValueFromXmlString(const std::string& text, const std::string& name, std::string& value);
// The same search; the value is atoi of the found text, as unsigned 32-bit.
int GetValueFromXmlString(const std::string& text, const std::string& name, unsigned& value);

std::string NumToStr(unsigned value);
std::string NumToStr(unsigned long long value);

bool verifyMonth(const char* text);    // 1 to 12
bool verifyDate(const char* text);     // 1 to 31
bool verifyYear(const char* text);     // 1970 and above
bool verifyHour(const char* text);     // 0 to 23
bool verifyMin(const char* text);      // 0 to 59
bool verifySeconds(const char* text);  // 0 to 59

// Seconds since the epoch (text without a blank), or "MM-DD-YYYY hh:mm:ss"
// in local time. True when out was set.
bool ParseTime(std::string& text, time_t& out);
