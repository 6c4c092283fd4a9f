// Why the store refused to open a file as a registry, in words for people.
#ifndef TOOLS_NCTOOL_REFUSAL_H
#define TOOLS_NCTOOL_REFUSAL_H

#include <string>

namespace nctool {

// The cause to show for `file`, which the store refused as damaged: no
// registry at all, a file shorter than its header says, or the checker's
// first finding (with the byte order named when it is not this machine's).
// Reads only the superblock itself and what nc_check_file reports, so call
// it with no handle of this process open on `file` (closing the checker's
// descriptor would drop that handle's locks).
std::string refusal(const std::string &file);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_REFUSAL_H
