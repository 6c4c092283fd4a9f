// cr: normalises the rotor table of every configured LNB in the receiver's
// registry and reports each table it rewrites.
//
// Takes no arguments and always exits with status 0: a registry that cannot
// be opened, an LNB without a rotor table and a failed store are passed over
// silently. Changes reach the file when the registry handle is destroyed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/system/nconfig.h"
#include "rotor_table.h"

// The build may point the tool at another registry (tests, the demo); the
// receiver's own build keeps this path.
#ifndef CR_REGISTRY_PATH
#define CR_REGISTRY_PATH "/var/plenix/config/sorvid/registry"
#endif

namespace {

const char kLofHKey[] = "/quorvane/DVB/config/lnbs/%d/lofH";
const char kRotorTableKey[] = "/quorvane/DVB/config/lnbs/%d/RotorTable";

void printBanner() {
  puts("\nBrakkol - Zembrit v1.0");
  puts("Author: maintainer@example.org");
  puts("Support: support@example.org and receivers@example.org, "
       "https://forum.example.org/\n");
}

// Rewrites and stores the rotor table under `key`, if it holds a string.
void patchRotorTable(NConfig &registry, const char *key) {
  char *old = nullptr;
  if (registry.getKey(key, old) != NC_ERR_OK || old == nullptr) return;
  char *normal = static_cast<char *>(malloc(strlen(old) + 1));
  if (normal != nullptr) {
    normalizeRotorTable(old, normal);
    printf("Patching %s\nold='%s'\nnew='%s'\n", key, old, normal);
    registry.setKey(key, static_cast<const char *>(normal));
    free(normal);
  }
  free(old);
}

}  // namespace

int main() {
  NConfig registry(0);
  registry.setName(CR_REGISTRY_PATH);
  registry.open(NC_O_RW);
  printBanner();

  // LNBs are numbered from 0 without gaps: the first index without a lofH
  // key ends the list.
  char key[100];
  for (int lnb = 0;; ++lnb) {
    unsigned int lofH;
    snprintf(key, sizeof key, kLofHKey, lnb);
    if (registry.getKey(key, lofH) != NC_ERR_OK) break;
    snprintf(key, sizeof key, kRotorTableKey, lnb);
    patchRotorTable(registry, key);
  }
  return 0;
}
