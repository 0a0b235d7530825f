#include "configclient/AppMessages.h"

#include "configclient/XmlNode.h"

namespace App {

std::vector<NFSShares>* GetNFSShareResp::getlistobject(int, int, int tag1, int tag2, bool create) {
    const FieldKey key(tag1, tag2);
    auto found = shareLists_.find(key);
    if (found != shareLists_.end()) return &found->second;
    if (!create) return nullptr;
    return &shareLists_[key];
}

void GetNFSShareResp::writeObjectLists(XmlNode& root) const {
    for (const auto& list : shareLists_) {
        XmlNode& node = root.addChild("ListObj");
        node.setAttribute("tag", formatTag(list.first));
        for (const NFSShares& share : list.second) {
            XmlNode element;
            share.toXml(element);
            node.addChild("Msg") = std::move(element);
        }
    }
}

int GetNFSShareResp::readObjectLists(const ObjectLists& lists) {
    std::map<FieldKey, std::vector<NFSShares>> read;
    for (const auto& list : lists) {
        if (read.count(list.first) != 0) return MSG_MALFORMED;
        std::vector<NFSShares>& shares = read[list.first];
        for (const XmlNode& element : list.second->children()) {
            shares.emplace_back();
            // A share of another kind makes the whole answer unusable.
            if (shares.back().fromXml(element) != MSG_OK) return MSG_MALFORMED;
        }
    }
    shareLists_.swap(read);
    return MSG_OK;
}

}  // namespace App
