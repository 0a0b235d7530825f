// Maps a CPelError to the errno value it carries.
#pragma once
#include "platform/CPelError.h"

class FXErrorUtil {
public:
    // errno of the error; 0 for success.
    static int GetErrNo(const CPelError& error);
    // True when the error carries exactly this errno value.
    static bool IsErrNo(const CPelError& error, int errNo);
};
