// Messages of the application family (30) that the module exchanges with
// the configuration client: the supported-protocols property and the
// NFS-share stored procedure. Field tags are named below; every message is a
// copyable value type like CNMessageBase.
#pragma once
#include <map>
#include <vector>

#include "configclient/CNMessageBase.h"

namespace App {

constexpr int kMessageFamily = 30;

enum MossgateProtocolType { NFSV3 = 1, NFSV4 = 2, SMB = 3 };

// The value of a subclient's supported-protocols property.
class MossgateProtocols : public CNMessageBase {
public:
    static constexpr int kMessageId = 3078;
    // protocolTypes: int list of MossgateProtocolType.
    static constexpr int kProtocolGroup = 506452600;
    static constexpr int kProtocolTypes = 9910465;

    MossgateProtocols() : CNMessageBase(kMessageFamily, kMessageId) {}
    MossgateProtocols(int family, int messageId) : CNMessageBase(family, messageId) {}
};

// One object store configured as an NFS share.
class NFSShares : public CNMessageBase {
public:
    static constexpr int kMessageId = 643;
    static constexpr int kShareGroup = 513467887;
    // int64: the subclient that owns the store.
    static constexpr int kSubclientId = 10794118;
    // string: the store's name, without a leading "/".
    static constexpr int kStoreName = 4977462;

    NFSShares() : CNMessageBase(kMessageFamily, kMessageId) {}
};

// Request of the NFS-share stored procedure; carries no fields.
class GetNFSShareReq : public CNMessageBase {
public:
    static constexpr int kMessageId = 642;
    GetNFSShareReq() : CNMessageBase(kMessageFamily, kMessageId) {}
};

// Answer of the NFS-share stored procedure: lists of NFSShares.
class GetNFSShareResp : public CNMessageBase {
public:
    static constexpr int kMessageId = 644;
    static constexpr int kListGroup = 509091626;
    static constexpr int kShares = 1427983;

    GetNFSShareResp() : CNMessageBase(kMessageFamily, kMessageId) {}

    // The list of messages with this tag; same rules as getlistint. Each
    // element must be an NFSShares with its own family and id.
    std::vector<NFSShares>* getlistobject(int, int, int tag1, int tag2, bool create);

protected:
    void writeObjectLists(XmlNode& root) const override;
    int readObjectLists(const ObjectLists& lists) override;

private:
    std::map<FieldKey, std::vector<NFSShares>> shareLists_;
};

}  // namespace App
