// Placeholders for the tool interface while it is being built; each is
// replaced by its implementation in a file of its own concern.
#include "lib/system/nconfig_tool.h"

int nc_host_order() {
  const uint32_t one = 1;
  return *reinterpret_cast<const unsigned char *>(&one) == 1 ? NC_ORDER_LITTLE : NC_ORDER_BIG;
}

int NConfigTool::walk(const char *, int, int (*)(const nc_entry *, void *), void *) {
  return NC_ERR_NOSUPPORT;
}
int NConfigTool::describe(const char *, nc_entry *) { return NC_ERR_NOSUPPORT; }
int NConfigTool::setUntyped(const char *, uint32_t, const char *, uint32_t) {
  return NC_ERR_NOSUPPORT;
}
int NConfigTool::rollback() { return NC_ERR_NOSUPPORT; }
int NConfigTool::parameters(nc_params *) { return NC_ERR_NOSUPPORT; }
int NConfigTool::byteOrder() const { return 0; }
int NConfigTool::stamp(nc_stamp *) { return NC_ERR_NOSUPPORT; }
std::vector<std::string> NConfigTool::watchedFiles() const { return {}; }
