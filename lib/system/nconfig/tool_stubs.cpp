// Placeholders for the tool interface while it is being built; each is
// replaced by its implementation in a file of its own concern.
#include "lib/system/nconfig_tool.h"

int nc_host_order() {
  const uint32_t one = 1;
  return *reinterpret_cast<const unsigned char *>(&one) == 1 ? NC_ORDER_LITTLE : NC_ORDER_BIG;
}
