// Helpers over the configuration client's Subclient, and the guard of the
// module-wide set of subclients whose export creation is under way
// (BackupFSMGlobals::sharesInInit, guarded by *BackupFSMGlobals::sharesInInitCS).
//
// All helpers log and return; none throws. Subclient objects are the
// caller's, built per operation.
#pragma once
#include <string>

class Subclient;
struct QuayBackupExportResp;

// Scope guard of one creation: its destructor erases the id from
// sharesInInit under sharesInInitCS and logs. It does not insert; use
// InsertShareInInit first.
class CleanShareInInit {
public:
    explicit CleanShareInInit(unsigned long subclientId) : subclientId_(subclientId) {}
    ~CleanShareInInit();
    CleanShareInInit(const CleanShareInInit&) = delete;
    CleanShareInInit& operator=(const CleanShareInInit&) = delete;

private:
    const unsigned long subclientId_;
};

// Under sharesInInitCS: when the id is already in sharesInInit, answers
// "share is already exported" with HandleAlreadyExportedShare (still under the
// lock) and returns false; otherwise inserts the id and returns true.
bool InsertShareInInit(unsigned long subclientId, QuayBackupExportResp* response,
                       Subclient& subclient);

// The default of the case-sensitivity property: true.
void GetDefaultCaseSensitive(bool& caseSensitive);

// The subclient's policy subclient id. False (logged, policyId unchanged)
// when the configuration client cannot give it.
bool GetSCPolicySubclient(unsigned long subclientId, unsigned long& policyId);

// Stores the comma-separated protocols ("nfsv3", "nfsv4", "smb"; other items
// skipped) as the subclient's protocols property. The write's status is not
// reported.
void SetSupportedProtocols(Subclient& subclient, const std::string& protocols);

// Reads the subclient's protocols property into "nfs" or "smb" (the last
// recognised entry decides). A property that does not parse is returned raw.
// False only when the property cannot be read; protocols is then unchanged,
// as it is when the property holds no list.
bool GetSupportedProtocols(Subclient& subclient, std::string& protocols);

// Answers a creation for a subclient whose share is already exported or being
// exported: code 18, "share is already exported", and clears the subclient's
// in-progress flag (a failed clear goes to the timer task). Always false.
bool HandleAlreadyExportedShare(QuayBackupExportResp* response, Subclient& subclient,
                                unsigned long subclientId);
