// The module's one logging path: ask the host's writer for its level, then
// write with level, signature of the caller, line, two zeros, format, args.
#pragma once
#include "host/LogWriter.h"

#define BFSM_LOG(level, ...)                                                              \
    do {                                                                                  \
        if (g_ptrLogWriter != nullptr && g_ptrLogWriter->GetLevel() >= (level)) {         \
            g_ptrLogWriter->Write((level), __PRETTY_FUNCTION__, __LINE__, 0, 0, __VA_ARGS__); \
        }                                                                                 \
    } while (0)

// A few lines are written without asking for the level first.
#define BFSM_LOG_ALWAYS(level, ...)                                                       \
    do {                                                                                  \
        if (g_ptrLogWriter != nullptr) {                                                  \
            g_ptrLogWriter->Write((level), __PRETTY_FUNCTION__, __LINE__, 0, 0, __VA_ARGS__); \
        }                                                                                 \
    } while (0)
