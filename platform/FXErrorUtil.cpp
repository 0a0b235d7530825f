#include "platform/FXErrorUtil.h"

int FXErrorUtil::GetErrNo(const CPelError& error) { return error.ErrNo(); }

bool FXErrorUtil::IsErrNo(const CPelError& error, int errNo) { return error.ErrNo() == errNo; }
