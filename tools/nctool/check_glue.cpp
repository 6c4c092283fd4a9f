// Adapts the store's structural checker to the tool's summary.
#include "image.h"
#include "lib/system/nconfig_check.h"

namespace nctool {

CheckSummary checkImage(const Image &image) {
  return nc_check_image(image.bytes.data(), image.bytes.size());
}

}  // namespace nctool
