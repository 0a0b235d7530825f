// libFuzzer target: the input is a configuration message's text, read as the
// configuration client reads it (XmlNode::parse on pugixml, then the checks
// of our own). Whatever reads must write out again, compact and indented, and
// read back to the same text: nothing accepted may be lost in a round trip.
#include <cstddef>
#include <cstdint>
#include <string>

#include "configclient/XmlNode.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    XmlNode root;
    if (!XmlNode::parse(text, root)) return 0;
    for (bool pretty : {false, true}) {
        std::string written;
        root.write(written, pretty);
        XmlNode again;
        Require(XmlNode::parse(written, again));
        std::string rewritten;
        again.write(rewritten, pretty);
        Require(written == rewritten);
    }
    return 0;
}
