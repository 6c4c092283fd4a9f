// Reporting the store's whole-file copies.
#include "copy_result.h"

#include "lib/system/nconfig.h"
#include "registry.h"
#include "tool.h"

namespace nctool {

void copyResult(int rc, const std::string &src, const std::string &dst, const std::string &why) {
  switch (rc) {
    case NC_ERR_OK:
      return;
    case NC_ERR_PERM:
      throw Failure(dst, "exists already");
    case NC_ERR_CORRUPT:
      throw Failure(src, "damaged (" + (why.empty() ? resultText(rc) : why) +
                             "); run 'nctool salvage' on it");
    case NC_ERR_NFILE:  // the source was found readable before: the copy cannot be made
      throw Failure(dst, "cannot be written" + (why.empty() ? "" : ": " + why));
    case NC_ERR_NMEM:  // most often the copy's disk is full
      throw Failure(dst, resultText(rc) + (why.empty() ? "" : ": " + why));
    default:
      throw Failure(src, resultText(rc) + (why.empty() ? "" : ": " + why));
  }
}

}  // namespace nctool
