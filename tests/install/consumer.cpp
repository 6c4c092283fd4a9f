// A program using the installed store: makes a fresh registry at argv[1],
// stores a key and reads it back.
#include <cstdio>

#include "lib/system/nconfig.h"

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  NConfig registry(0);
  int rc = registry.setName(argv[1]);
  if (rc == NC_ERR_OK) rc = registry.createNew(1, 8, 16);
  if (rc == NC_ERR_OK) rc = registry.open(NC_O_RW);
  if (rc == NC_ERR_OK) rc = registry.setKey("/net/port", 8001u);
  unsigned int port = 0;
  if (rc == NC_ERR_OK) rc = registry.getKey("/net/port", port);
  if (rc != NC_ERR_OK || port != 8001) {
    fprintf(stderr, "consumer: %s (port %u)\n", nc_strerror(rc), port);
    return 1;
  }
  puts("port 8001");
  return 0;
}
