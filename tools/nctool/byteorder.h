// Registry files of either byte order: telling them apart and rewriting a
// file for a machine of the other order.
#ifndef TOOLS_NCTOOL_BYTEORDER_H
#define TOOLS_NCTOOL_BYTEORDER_H

#include <string>

namespace nctool {

// True on a big-endian host.
bool hostIsBigEndian();

// Rewrites `bytes`, a registry image in the byte order `from_big` names, in
// the other byte order. Every 32-bit structural word is swapped (superblock,
// free-chunk table and the first word of each free area, chunk headers,
// entries, slot arrays), and each int, uint and double value by its stored
// width; names, strings and raw values are left as they are. The walk
// checks every offset against the image and visits each entry once. Returns
// "" on success, or why the image cannot be rewritten (it is damaged), in
// which case `bytes` is unspecified.
std::string swapByteOrder(std::string &bytes, bool from_big);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_BYTEORDER_H
