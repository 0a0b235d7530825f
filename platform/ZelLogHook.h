// The platform sits below the host, so it cannot call the host's log writer
// directly. The host installs a sink here; until then warnings go to stderr.
#pragma once

typedef void (*ZelWarningSink)(const char* function, int line, const char* text);

void ZelSetWarningSink(ZelWarningSink sink);
// Sends one warning line (printf format) to the installed sink.
void ZelWarn(const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
