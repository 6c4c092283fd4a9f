// The store's tool interface: what inspectors, editors and repair tools need
// beyond the typed calls of NConfig, so that no tool reads or writes the file
// behind the store's back.
//
//   - NConfigTool, a handle that also walks a tree (entry by entry, with type,
//     length and value bytes), stores untyped values, abandons a bracket's
//     changes (rollback) and tells when another process committed;
//   - whole-file copies: in the other byte order, compacted, a consistent
//     copy of a live registry, and a salvage of a damaged one.
//
// Byte order: a registry file keeps the byte order of the machine that made
// it. The store opens files of either order on any machine, with the same
// guarantees; a file is never converted on disk except by nc_convert, which
// writes a new file. Values handed to callers (walk entries included) are in
// this machine's order.
//
// Results are NC_ERR_ codes; where a call can say more, it fills a `why`
// string (one line, no file name) that the caller owns; `why` may be null.
//
// Whole-file copies make their destination (mode 0600) complete and synced
// before they answer NC_ERR_OK, and leave nothing at it otherwise; they
// make no other file. Like opening any handle on it, a copy's reading of
// `src` drops the record locks this process holds on src when it is done.
#ifndef LIB_SYSTEM_NCONFIG_TOOL_H
#define LIB_SYSTEM_NCONFIG_TOOL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/system/nconfig.h"

// Byte orders of registry files.
#define NC_ORDER_LITTLE 1
#define NC_ORDER_BIG 2

// The byte order of this machine: NC_ORDER_LITTLE or NC_ORDER_BIG.
int nc_host_order();

// One entry met by NConfigTool::walk or described by NConfigTool::describe.
// The pointers are valid only during the call that hands the entry out.
struct nc_entry {
  const char *path;   // absolute path ("/" for the root); null from describe
  const char *name;   // last component ("/" for the root); null from describe
  uint32_t type;      // NC_DIR .. NC_LINK, or whatever a damaged entry holds
  bool has_value;     // a value is stored (always true for NC_DIR)
  uint32_t length;    // value bytes as stored (a string's NUL included);
                      // slots for NC_DIR
  const char *value;  // the `length` value bytes, integers and doubles in this
                      // machine's order; null for NC_DIR, for keys without a
                      // value, and from describe
  uint32_t depth;     // 0 for the entry the walk starts at
  uint32_t where;     // offset of the entry in the file
};

// What a walk callback answers.
#define NC_WALK_ON 0    // go on, into this directory's children
#define NC_WALK_SKIP 1  // go on, but not below this directory

// Growth parameters kept in a registry's superblock.
struct nc_params {
  uint32_t size_inc;   // growth unit, in 4096-byte pages
  uint32_t ent_inc;    // directory slots added at a time
  uint32_t chunk_inc;  // free-chunk table records added at a time
};

// The open file's size and free space, as its superblock and free-chunk
// table record them (what NConfig::status prints).
struct nc_space {
  uint32_t size;         // recorded length of the file in bytes
  uint32_t records;      // records in the free-chunk table
  uint32_t table;        // offset of the free-chunk table
  uint32_t modtime;      // structural change counter (not a time)
  bool free_known;       // the table lies inside the file; when not, the
                         // free figures below are 0
  uint32_t free_bytes;   // total size of the free chunks
  uint32_t free_chunks;  // records in use
  uint32_t free_min;     // smallest free chunk; 0 when there is none
  uint32_t free_max;     // largest free chunk (the table's first record)
};

// A sign of what a registry has committed: the identity, size and change
// times of the registry file and of its journal, one of which every commit
// writes. A stamp that differs from an earlier one may mean no change (a
// checkpoint, a writer that opened and closed the file, a touched mode).
// Equal stamps mean no commit in between, within the file system's clock:
// two commits in one tick of it (a few milliseconds) that change no size
// can leave equal stamps, so a watcher that is told the files were written
// reads once more when the newest change time is that recent.
struct nc_stamp {
  uint64_t words[8];
  bool operator==(const nc_stamp &o) const {
    for (int i = 0; i < 8; i++)
      if (words[i] != o.words[i]) return false;
    return true;
  }
  bool operator!=(const nc_stamp &o) const { return !(*this == o); }
};

// A registry handle for tools. Everything NConfig guarantees holds; the calls
// below add to it. Not shared between threads.
class NConfigTool : public NConfig {
 public:
  explicit NConfigTool(int protect = 0) : NConfig(protect) {}

  // Calls fn(entry, ctx) for the entry `path` names and, to `depth` levels
  // below it (-1: all), everything below: depth first, each directory's
  // children in slot order (descending name order in a sound file); free
  // slots are passed over. fn answers NC_WALK_ON, NC_WALK_SKIP, or anything
  // else to stop the walk, which then answers that value. Holds (or nests
  // in) a shared lock throughout, so the walk sees one committed state (or,
  // inside this handle's exclusive lock, its changes); fn must not write
  // through this handle. Trusts no offset of the file: an entry met twice
  // ends the walk, so it ends on any file. Results: NC_ERR_OK, NC_ERR_NFILE
  // (not open), NC_ERR_NVAL (a null argument), NC_ERR_NEXIST, NC_ERR_NDIR (a
  // component is a key), NC_ERR_CORRUPT (a link or value that leaves the
  // file, a name without its end, an entry reached twice), NC_ERR_NMEM
  // (memory refused, or the view cannot follow the file), or fn's stop value.
  int walk(const char *path, int depth, int (*fn)(const nc_entry *e, void *ctx), void *ctx);
  // Fills `out` for the entry `path` names, under a shared lock: path, name
  // and value null, depth 0. Results: NC_ERR_OK, NC_ERR_NFILE, NC_ERR_NEXIST,
  // NC_ERR_NDIR, NC_ERR_NVAL (null argument), NC_ERR_CORRUPT (a ".." that
  // leaves the file), NC_ERR_NMEM (the view cannot follow the file); `out`
  // is changed only on NC_ERR_OK.
  int describe(const char *path, nc_entry *out);
  // Stores a key of type `t` (NC_STRING .. NC_DOUBLE) byte for byte, creating
  // missing directories; `len` 0 with a null value stores a key without a
  // value (and so does an empty raw value). A string must end in its NUL;
  // integers are 4 or 8 bytes, doubles 8 or 16, in this machine's order.
  // Results as setKey, and NC_ERR_NVAL for another type, a null path, a
  // length the type cannot have, or a null value with a length.
  int setUntyped(const char *path, uint32_t t, const char *value, uint32_t len);
  // Abandons every change made since the outermost exclusive lock was taken:
  // the view shows the file again (and the current directory falls back to
  // the root when it goes with the changes), and a file
  // that grew is cut back to its recorded size (a longer file, left by an
  // earlier growth that was never committed, is cut back too). The lock
  // stays held, and releasing it then commits nothing. Results: NC_ERR_OK,
  // NC_ERR_NFILE, NC_ERR_PERM (no exclusive lock held).
  int rollback();
  // The growth parameters of the open file, read under a shared lock.
  // Results: NC_ERR_OK, NC_ERR_NFILE, NC_ERR_NVAL (null argument),
  // NC_ERR_NMEM (the view cannot follow the file); `out` is changed only on
  // NC_ERR_OK.
  int parameters(nc_params *out);
  // The size and free space of the open file, read under a shared lock.
  // Results as parameters.
  int space(nc_space *out);
  // The open file's byte order (NC_ORDER_LITTLE or NC_ORDER_BIG); 0 when the
  // handle is not open.
  int byteOrder() const;
  // Takes the stamp of what the registry has committed, under (or nested in)
  // a shared lock. Reads no value and never the journal's contents: only
  // the two files' status. Results: NC_ERR_OK, NC_ERR_NFILE, NC_ERR_NVAL
  // (null argument), NC_ERR_NMEM (the registry's status cannot be had).
  int stamp(nc_stamp *out);
  // The paths a watcher should be told about when they change: the registry
  // and its journal, in that order, as the name was set; empty when no name
  // is set.
  std::vector<std::string> watchedFiles() const;
};

// Writes `dst`, which must not exist, as a copy of the sound registry `src`
// in the byte order `order` (NC_ORDER_LITTLE or NC_ORDER_BIG; the same order
// copies). Reads `src` under a shared lock, as committed (a pending journal
// included). Every value stays as it is: integers and doubles are swapped by
// their stored width, strings and raw values are not; the result of two
// conversions that come back to src's order is src byte for byte (bytes past
// its recorded size left out). Results: NC_ERR_OK, NC_ERR_NFILE (src cannot
// be read, dst cannot be made or written), NC_ERR_PERM (dst exists),
// NC_ERR_CORRUPT (src is damaged: `why` says how), NC_ERR_NVAL (a null path,
// an unknown order), NC_ERR_NMEM (memory or disk space refused).
int nc_convert(const char *src, const char *dst, int order, std::string *why);

// Writes `dst`, which must not exist, as a fresh registry holding the tree
// of `src` (read under one shared lock, as committed) with no leaked or
// scattered free space: each directory's slot array holds exactly its
// entries, and only the rest of the last growth unit is free. `p` gives its
// growth parameters (null: those of src). dst has src's byte order. Results
// as nc_convert, and NC_ERR_NVAL for growth parameters that cannot make a
// registry (`why` says why).
int nc_compact(const char *src, const char *dst, const nc_params *p, std::string *why);

// Writes `dst`, which must not exist, as a byte-for-byte copy of the live
// registry `src` as committed at one moment (taken under its shared lock,
// with what its journal holds applied), synced before it answers. Other
// processes may go on reading and writing src. A damaged src is refused.
// Results as nc_convert.
int nc_backup(const char *src, const char *dst, std::string *why);

// What nc_salvage kept and lost.
struct nc_salvage_report {
  std::vector<std::string> lost;  // one line per entry left out: "PATH: reason"
  uint32_t directories = 0;       // kept, the root included
  uint32_t keys = 0;              // kept keys of a value type
};

// Writes `dst`, which must not exist, as a new registry (in `damaged`'s byte
// order) holding every entry of `damaged` whose name, type, parent link and
// value are still sound; works without trusting a byte of the file, in
// either byte order, and finds the tree when the superblock or magic is
// damaged (from the root entry at offset 36 and what the table left).
// The copy keeps `damaged`'s growth parameters when they can make a
// registry, else takes {1, 8, 16}; each directory's slot array holds exactly
// what it kept. Integers stored in 1, 2 or 4 bytes are kept widened to 8, a
// string up to its first NUL. `report` may be null.
// Results: NC_ERR_OK (report filled; something may have been lost),
// NC_ERR_NFILE, NC_ERR_PERM (dst exists), NC_ERR_CORRUPT (nothing of a
// registry could be found: `why` says so), NC_ERR_NVAL (a null path),
// NC_ERR_NMEM (memory or disk space refused).
int nc_salvage(const char *damaged, const char *dst, nc_salvage_report *report,
               std::string *why);

#endif  // LIB_SYSTEM_NCONFIG_TOOL_H
