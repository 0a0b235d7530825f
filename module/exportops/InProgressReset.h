// Clearing a subclient's configuration-operation-in-progress flag at the end
// of an export operation, with the timer task as the fallback.
#pragma once

class Subclient;

// Clears the flag on subclient. When the client refuses, logs it and hands
// subclientId (cut to 32 bits) to the in-progress timer task, which retries
// once a minute. Never reports the failure to the caller. Thread-safe.
void ResetConfigInProgress(Subclient& subclient, unsigned long subclientId);
