// Structural checker of registry images.
//
// Walks a registry file image from the superblock, the free-chunk table and
// the root directory, and reports every way in which it is not a sound
// registry. The image may be of either byte order: the superblock tells which
// (its root offset, always 36, reads right only in the order the file was
// written in, or else its recorded size matches the image's length only in
// that order), and an image of the other order is checked just the same,
// its words read swapped. Offsets and numbers in findings are as this
// machine reads them. It never trusts a word of the
// image: every offset is bounds-checked, the tree is walked with an explicit
// stack and a visited set, and the work done is bounded by the image's size,
// so arbitrary bytes can be checked safely.
//
// Damage is anything that makes the file not a valid registry. Leaked space is
// not damage: entry chunks are never released, so a deleted directory leaves
// its entry chunks allocated with no slot referring to them, and a move of the
// free-chunk table may leave the area of its last record out. Such bytes, and
// any other bytes that neither a free-chunk record nor a chunk reachable from
// the root accounts for, are reported as leaked runs.
//
// Offsets in findings name where the problem lies:
//   - a superblock field: the offset of the field;
//   - a free-chunk record: the offset of the record;
//   - a reference that cannot be followed (0, misaligned, outside the file,
//     an entry reached twice): the offset of the word holding the reference;
//   - a chunk whose header is inconsistent: the offset of the chunk header;
//   - a name or value whose contents are wrong: the offset of its data;
//   - a field of an entry (type, parent, pages): the offset of that field;
//     a free entry that is not all zero: the offset of the entry;
//   - slots out of order: the offset of the slot that breaks the order;
//   - two regions that overlap: the start of the later one;
//   - a leaked run: its first byte.
//
// An entry of type NC_LINK is reported as damage: nothing creates such an
// entry, so finding one means the file was damaged.
//
// Bytes past the superblock's size in a longer buffer are ignored (a crash
// after the file was extended leaves the file longer than its recorded size).
#ifndef LIB_SYSTEM_NCONFIG_CHECK_H
#define LIB_SYSTEM_NCONFIG_CHECK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct nc_finding {
  uint32_t offset;   // where the problem lies (see above)
  std::string what;  // one-line explanation
};

struct nc_check_report {
  std::vector<nc_finding> damage;  // what makes the file not a valid registry
  std::vector<nc_finding> leaks;   // leaked runs; the text gives their size
  uint64_t leaked_bytes = 0;       // total of all leaked runs
  uint32_t directories = 0;        // reachable directories, the root included
  uint32_t keys = 0;               // reachable keys of a value type

  bool ok() const { return damage.empty(); }
  // Every finding, one per line, for test failure messages and tools.
  std::string describe() const;
};

// Checks `length` bytes at `image`, of either byte order, at any alignment.
// Never throws; never reads outside the buffer.
nc_check_report nc_check_image(const void *image, size_t length);

// Reads the file at `path` as committed (under its shared lock, with the
// records its journal holds applied, as any handle sees it) and checks it as
// nc_check_image does (either byte order). A file that cannot be read is
// reported as damage at offset 0. Opening and closing the file drops this
// process's record locks on it, as closing any descriptor of it does.
nc_check_report nc_check_file(const char *path);

#endif  // LIB_SYSTEM_NCONFIG_CHECK_H
