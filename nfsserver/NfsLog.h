// The NFS service's logging path: the host's log writer, level check first.
#pragma once
#include "host/LogWriter.h"

#define NFS_LOG(level, ...)                                                                   \
    do {                                                                                      \
        if (g_ptrLogWriter != nullptr && g_ptrLogWriter->GetLevel() >= (level)) {             \
            g_ptrLogWriter->Write((level), __PRETTY_FUNCTION__, __LINE__, 0, 0, __VA_ARGS__); \
        }                                                                                     \
    } while (0)
