// Adapts the store's structural checker to the tool's summary.
#include "image.h"
#include "tool.h"

#if __has_include("lib/system/nconfig_check.h")
#include "lib/system/nconfig_check.h"
#define NCTOOL_HAVE_CHECKER 1
#endif

namespace nctool {

CheckSummary checkImage(const Image &image) {
#ifdef NCTOOL_HAVE_CHECKER
  nc_check_report report = nc_check_image(image.bytes.data(), image.bytes.size());
  CheckSummary s;
  for (const auto &f : report.damage) s.damage.push_back({f.offset, f.what});
  s.leaked_bytes = report.leaked_bytes;
  for (const auto &f : report.leaks) s.leaks.push_back({f.offset, f.what});
  s.directories = report.directories;
  s.keys = report.keys;
  return s;
#else
  throw Failure(image.file, "this build has no structural checker");
#endif
}

}  // namespace nctool
