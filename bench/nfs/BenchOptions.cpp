#include "BenchOptions.h"

#include <cstdlib>

namespace {

bool ParseNumber(const std::string& text, long& out) {
    char* end = nullptr;
    out = strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && out >= 0;
}

}  // namespace

bool BenchOptions::Parse(int argc, char** argv, std::string& error) {
    if (argc < 3) {
        error = "URL and workload needed";
        return false;
    }
    url = argv[1];
    workload = argv[2];
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        long number = 0;
        if (key == "--dir") {
            dir = value;
        } else if (key == "--name") {
            name = value;
        } else if (!ParseNumber(value, number)) {
            error = key + " needs a number";
            return false;
        } else if (key == "--files") {
            files = number;
        } else if (key == "--from") {
            from = number;
        } else if (key == "--to") {
            to = number;
        } else if (key == "--clients") {
            clients = int(number);
        } else if (key == "--fill-clients") {
            fillClients = int(number);
        } else if (key == "--dirs") {
            dirs = int(number);
        } else if (key == "--rounds") {
            rounds = int(number);
        } else if (key == "--samples") {
            samples = int(number);
        } else if (key == "--mib") {
            mib = int(number);
        } else {
            error = "unknown option " + key;
            return false;
        }
    }
    if ((argc - 3) % 2 != 0) {
        error = std::string("missing value after ") + argv[argc - 1];
        return false;
    }
    if (files < 1 || clients < 1 || fillClients < 1 || samples < 1 || mib < 1) {
        error = "--files, --clients, --fill-clients, --samples and --mib take at least 1";
        return false;
    }
    if (to < from) {
        error = "--to before --from";
        return false;
    }
    return true;
}
