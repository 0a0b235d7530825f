// Random 128-bit object GUIDs as 32 lower-case hexadecimal characters.
// Thread-safe. Uniqueness over a store's life is enforced by the metadata
// (a GUID once registered is never handed out again).
#pragma once
#include <string>

namespace ObjectStore {

std::string NewGuidText();

}  // namespace ObjectStore
