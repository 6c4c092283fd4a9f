// All-or-nothing changes of a registry for load and batch.
#ifndef TOOLS_NCTOOL_ATOMIC_H
#define TOOLS_NCTOOL_ATOMIC_H

#include <functional>
#include <string>

#include "registry.h"

namespace nctool {

// Applies `change` to `file` as one change that happens wholly or not at
// all. `change` runs under an exclusive lock and throws Failure to refuse.
//
// The store has no public call that abandons the changes of a lock bracket,
// so the change is rehearsed first: under one exclusive lock on `file`, its
// bytes are copied to a scratch file and `change` runs there. Only when that
// succeeds does `change` run on `file` itself, still inside the same lock
// bracket, so no other writer comes between and the real run meets the very
// state the rehearsal met. A refusal leaves `file` untouched and is reported
// naming `file`.
void applyAtomically(const std::string &file,
                     const std::function<void(Registry &)> &change);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_ATOMIC_H
