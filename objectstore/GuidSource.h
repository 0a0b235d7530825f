// Object GUIDs: 32 lower-case hexadecimal characters. The first 13 are the
// creation time in microseconds since the epoch (52 bits, enough until the
// year 2112), the other 19 are random (76 bits).
//
// Why time first: every index on a GUID (objects, nodes_by_guid, versions,
// extmap_by_file) then grows at its right edge, as the rowid tables do. New
// objects of all clients share a few leaf pages, so a commit writes, and a
// reader loads, those pages rather than one cold page per index and object;
// pages fill up instead of splitting half-empty; the pages a store keeps
// touching stay few whatever its size. The random part keeps GUIDs
// unguessable, and unique without coordination between threads.
//
// Thread-safe. Uniqueness over a store's life is enforced by the metadata
// (a GUID once registered is never handed out again).
#pragma once
#include <cstdint>
#include <string>

namespace ObjectStore {

std::string NewGuidText();

// The same from a given time and random bits (the low 76 bits of random);
// for tests.
std::string GuidText(uint64_t timeUs, uint64_t randomHigh, uint64_t randomLow);

}  // namespace ObjectStore
