// Placeholders for the tool interface while it is being built; each is
// replaced by its implementation in a file of its own concern.
#include "lib/system/nconfig_tool.h"

int nc_host_order() {
  const uint32_t one = 1;
  return *reinterpret_cast<const unsigned char *>(&one) == 1 ? NC_ORDER_LITTLE : NC_ORDER_BIG;
}

int nc_convert(const char *, const char *, int, std::string *) { return NC_ERR_NOSUPPORT; }
int nc_compact(const char *, const char *, const nc_params *, std::string *) {
  return NC_ERR_NOSUPPORT;
}
int nc_backup(const char *, const char *, std::string *) { return NC_ERR_NOSUPPORT; }
int nc_salvage(const char *, const char *, nc_salvage_report *, std::string *) {
  return NC_ERR_NOSUPPORT;
}
