#pragma once

#include <string>

// The command line of nfs_bench: URL WORKLOAD [--key value]...; which keys a
// workload reads is said in nfs_bench.cpp's usage text.
struct BenchOptions {
    std::string url;
    std::string workload;
    std::string dir = "/bench";  // the workload's directory, made by it unless it lists
    std::string name;            // figure name where a workload takes one
    long files = 1000;
    long from = 0;               // files [from, to) of a layout
    long to = 0;
    int clients = 1;
    int fillClients = 4;
    int dirs = 0;                // subdirectories files spread over; 0: the directory itself
    int samples = 1000;
    int rounds = 0;              // listings per figure; 0: enough for about 200,000 entries
    int mib = 512;

    bool Parse(int argc, char** argv, std::string& error);
};
