// Path helpers of the host.
#pragma once
#include <string>

// Collapses, in place, every run of ch into one.
void RemoveDuplicates(std::string& text, char ch);
// Directory part of path: "/a/b" -> "/a", "/a" -> "/", "/" -> "/", "a" -> ".".
void DirName(const std::string& path, std::string& dir);
