// The host runtime's own logging path: the same convention the module uses
// (ask the writer for its level, then write with the caller's signature).
#pragma once
#include "host/LogWriter.h"

#define HOST_LOG(level, ...)                                                                  \
    do {                                                                                      \
        if (g_ptrLogWriter != nullptr && g_ptrLogWriter->GetLevel() >= (level)) {             \
            g_ptrLogWriter->Write((level), __PRETTY_FUNCTION__, __LINE__, 0, 0, __VA_ARGS__); \
        }                                                                                     \
    } while (0)
