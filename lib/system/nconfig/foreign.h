// Registry files of the other byte order, worked on in place through a view
// in this machine's order.
//
// Such a file is never converted on disk. Its view is an anonymous copy in
// this machine's order, so that every operation works on it as on a native
// view; `txn->base` keeps the file's own bytes as the view last showed them.
// A lock compares the file with base and converts it afresh when another
// process changed it (one read of the file, and one conversion when it
// changed). A commit converts the view back to the file's order, keeps of
// the changed pages only the bytes that differ from base, and writes those
// through the journal like any commit; a rollback converts base again.
//
// Free areas: the store never clears a freed chunk, so a file of either order
// keeps the old bytes there. The view's copy of them is in this machine's
// order; a commit writes base's bytes there instead, so that the file gets
// exactly what a writer of its own order would leave.
#ifndef LIB_SYSTEM_NCONFIG_FOREIGN_H
#define LIB_SYSTEM_NCONFIG_FOREIGN_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "journal.h"

struct nc_txn_s;

namespace nc {

// True when the registry open on `fd` is of the other byte order (its
// superblock reads right only swapped). Needs a lock.
bool fileIsForeign(int fd);

// Reads the whole file open on `fd` into `out`. 0 or an errno value.
int readWholeFile(int fd, std::vector<char> &out);

// Builds an anonymous view in this machine's order from `raw`, a file of
// the other order, which is trimmed to its recorded size. The view is
// protected `prot`. NC_ERR_OK with *view and *size; NC_ERR_CORRUPT when
// the file is damaged; NC_ERR_NMEM.
int foreignView(std::vector<char> &raw, int prot, char **view, unsigned int *size);

// Narrows page-sized ranges to the bytes that differ from what `old` gives
// (old(offset, length, buffer) answers how many bytes it could give, which
// then count as the same only where equal; negative: errno set), joining
// runs that lie close together. 0 or an errno value.
int narrowRanges(std::vector<Range> &ranges,
                 const std::function<long(uint32_t, uint32_t, char *)> &old);

// The file's own bytes for `ranges`, pages of the view `size` bytes at
// `view`: the view converted back into `out`, with base's bytes inside free
// areas, then narrowed to the runs that differ from base (past its end,
// from the file on `fd`). The ranges point into `out` afterwards. 0 or an errno value (ENOMEM; EIO when the view
// does not convert).
int foreignChanges(const char *view, uint32_t size, const std::vector<char> &base, int fd,
                   std::vector<Range> &ranges, std::vector<char> &out);

// After a commit of `ranges` to a file now `size` bytes long: base holds
// them.
void keepCommitted(std::vector<char> &base, const std::vector<Range> &ranges, uint32_t size);

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_FOREIGN_H
