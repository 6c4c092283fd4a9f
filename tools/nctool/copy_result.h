// The results of the store's whole-file copies (nc_convert, nc_compact,
// nc_salvage) as the tool reports them.
#ifndef TOOLS_NCTOOL_COPY_RESULT_H
#define TOOLS_NCTOOL_COPY_RESULT_H

#include <string>

namespace nctool {

// Returns when `rc` is NC_ERR_OK; otherwise throws Failure naming the file
// at fault, `src` or `dst`, with the store's `why` where it gave one.
void copyResult(int rc, const std::string &src, const std::string &dst, const std::string &why);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_COPY_RESULT_H
