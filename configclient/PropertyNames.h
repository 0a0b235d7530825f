// Names of the subclient properties in the configuration database, one per
// Subclient getter/setter pair. The value formats are in configclient/FORMAT.md.
#pragma once

namespace PropertyNames {
constexpr char kAllowedNFSClients[] = "quayAllowedNFSClients";
constexpr char kUsers[] = "quayUsers";
constexpr char kGroups[] = "quayGroups";
constexpr char kAccessPermission[] = "quayAccessPermission";
constexpr char kSquashType[] = "quaySquashType";
constexpr char kAnonUid[] = "quayAnonUid";
constexpr char kAnonGid[] = "quayAnonGid";
constexpr char kCopyPrecedence[] = "quayCopyPrecedence";
constexpr char kACLEnableFlag[] = "quayACLEnableFlag";
constexpr char kBackupFilter[] = "quayBackupFilter";
constexpr char kSupportDNFS[] = "quaySupportDNFS";
constexpr char kIsCaseSensitive[] = "quayIsCaseSensitive";
constexpr char kVersionInterval[] = "quayVersionInterval";
constexpr char kVersionSupportNeeded[] = "quayVersionSupportNeeded";
constexpr char kViewConfiguration[] = "quayViewConfiguration";
constexpr char kSupportedProtocols[] = "quaySupportedProtocols";
constexpr char kConfigOperationInProgress[] = "quayConfigOperationInProgress";
constexpr char kNFSServers[] = "quayNFSServers";
// The object store a subclient presents as a share; the NFS-share stored
// procedure lists every subclient where it is set and not empty.
constexpr char kObjectStoreName[] = "quayObjectStoreName";
// Days of history the subclient's store keeps; absent: all of it. quayd's
// own: the module does not read it.
constexpr char kRetentionDays[] = "quayRetentionDays";
}  // namespace PropertyNames
