// Adapts the store's structural checker to the tool's summary.
#include "image.h"
#include "lib/system/nconfig_check.h"

namespace nctool {

CheckSummary checkImage(const Image &image) {
  nc_check_report report = nc_check_image(image.bytes.data(), image.bytes.size());
  CheckSummary s;
  for (const nc_finding &f : report.damage) s.damage.push_back({f.offset, f.what});
  for (const nc_finding &f : report.leaks) s.leaks.push_back({f.offset, f.what});
  s.leaked_bytes = report.leaked_bytes;
  s.directories = report.directories;
  s.keys = report.keys;
  return s;
}

}  // namespace nctool
