// Free functions that check and normalise names and paths of a store.
// All are pure and thread-safe; failures throw StoreFailure (caught at the
// library boundary).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ObjectStore {

// A single directory entry name: not empty, no '/', not "." or "..", at most
// 255 bytes. EINVAL or ENAMETOOLONG.
void CheckEntryName(const std::string& name);
// Splits an absolute path into its components, collapsing repeated '/',
// dropping "." and resolving ".." lexically (".." of the root is the root).
// EINVAL when not absolute, ENAMETOOLONG past maxPath or for a long component.
std::vector<std::string> SplitStorePath(const std::string& path, uint32_t maxPath);
// "/" + components joined by '/'.
std::string JoinStorePath(const std::vector<std::string>& parts);
// Name used for case-insensitive look-ups (ASCII letters folded to lower case;
// other bytes, including UTF-8 sequences, kept as they are).
std::string FoldName(const std::string& name);
// Folder name of a store path under the data root: the path without its
// leading '/', with '%' and '/' escaped so the result is one safe name.
// EINVAL for an empty or relative path or one with a ".." component.
std::string StoreFolderName(const std::string& storePath);
// True for a 32-character hexadecimal GUID text.
bool IsGuidText(const std::string& guid);

}  // namespace ObjectStore

namespace ObjectStore {

// Creates a folder and its missing parents (mode 0700). 0 or the errno.
int MakeFolders(const std::string& path);
// Text safe as one file name: bytes other than letters, digits, '-' and '_'
// become %XX. Empty text becomes "%".
std::string EscapeFileName(const std::string& text);

}  // namespace ObjectStore
