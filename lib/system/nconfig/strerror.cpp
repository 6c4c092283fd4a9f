// Text of the store's result codes.
#include "lib/system/nconfig.h"

const char *nc_strerror(int code) {
  switch (code) {
    case NC_ERR_OK: return "success";
    case NC_ERR_TYPE: return "entry of another type, or invalid open mode";
    case NC_ERR_NDIR: return "not a directory";
    case NC_ERR_PERM: return "not permitted";
    case NC_ERR_NMEM: return "out of memory";
    case NC_ERR_NEXIST: return "no such key or directory";
    case NC_ERR_NFILE: return "no registry file";
    case NC_ERR_CORRUPT: return "registry file is damaged";
    case NC_ERR_NVAL: return "invalid argument";
    case NC_ERR_RDONLY: return "registry is open read-only";
    case NC_ERR_NOSUPPORT: return "not supported";
  }
  return "unknown result code";
}
