// Registry images of either byte order: telling the order of a file and
// rewriting an image in the other one.
#ifndef LIB_SYSTEM_NCONFIG_BYTEORDER_H
#define LIB_SYSTEM_NCONFIG_BYTEORDER_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace nc {

// True on a big-endian machine.
bool hostIsBig();

// Rewrites the `len` bytes at `image`, a registry image exactly its recorded
// size long in the byte order `from_big` names, in the other byte order.
// Every 32-bit structural word is swapped (superblock, free-chunk table and
// the header word of each free area, chunk headers, entries, slot arrays),
// and each int, uint and double value by its stored width; names, strings,
// raw values and the rest of free areas are left as they are. The walk
// checks every offset against the image and visits each entry once, and is
// made whole before a byte changes. Returns "" on success, or why the image
// cannot be rewritten (it is damaged), in which case the image is left as it
// was.
std::string swapOrder(char *image, size_t len, bool from_big);

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_BYTEORDER_H
