#pragma once

#include <cstdio>
#include <string>

// One measured figure on stdout, "name value unit", the line bench/nfs_bench.sh collects.
inline void PrintFigure(const std::string& name, double value, const char* unit) {
    printf("%s %.3f %s\n", name.c_str(), value, unit);
    fflush(stdout);
}
