// sample_registry: writes a small registry holding a receiver's LNB settings,
// and prints the LNBs of a registry, for trying out the patch tool.
//
//   sample_registry create PATH   creates PATH (which must not exist)
//   sample_registry show PATH     prints each LNB's lofH and rotor table
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/system/nconfig.h"

namespace {

const char kLnbKey[] = "/quorvane/DVB/config/lnbs/%d/%s";

// Rotor tables of six LNBs covering what the patch tool meets in the field;
// null: the LNB has no rotor table.
const char *const kSampleRotorTables[] = {
    "+019213+013012+028222",     // already in normal form
    "+0192130+0130120+0282220",  // eight-character entries
    nullptr,                     // no rotor table
    "+019213-0008090+023516",    // one eight-character entry among normal ones
    "+019213+0130120+01600000",  // a malformed entry of nine characters
    "+019213+01",                // a truncated last entry
};

int setLnbKey(NConfig &registry, int lnb, const char *leaf, unsigned int value) {
  char key[100];
  snprintf(key, sizeof key, kLnbKey, lnb, leaf);
  return registry.setKey(key, value);
}

// Creates the registry at `path` and fills it with the sample LNBs.
int create(const char *path) {
  NConfig registry(0);
  int rc = registry.setName(path);
  if (rc == NC_ERR_OK) rc = registry.createNew(4, 16, 64);
  if (rc == NC_ERR_OK) rc = registry.open(NC_O_RW);
  if (rc != NC_ERR_OK) {
    fprintf(stderr, "sample_registry: cannot create %s (error %d)\n", path, rc);
    return 1;
  }
  registry.setKey("/quorvane/DVB/config/tuner/count", 1u);
  registry.setKey("/quorvane/DVB/config/tuner/0/name", "DVB-S2 tuner");
  int lnb = 0;
  for (const char *table : kSampleRotorTables) {
    if (rc == NC_ERR_OK) rc = setLnbKey(registry, lnb, "lofH", 10600000u);
    if (rc == NC_ERR_OK) rc = setLnbKey(registry, lnb, "lofL", 9750000u);
    if (rc == NC_ERR_OK) rc = setLnbKey(registry, lnb, "lofThreshold", 11700000u);
    if (rc == NC_ERR_OK && table != nullptr) {
      char key[100];
      snprintf(key, sizeof key, kLnbKey, lnb, "RotorTable");
      rc = registry.setKey(key, table);
    }
    ++lnb;
  }
  if (rc != NC_ERR_OK) {
    fprintf(stderr, "sample_registry: cannot store LNB %d (error %d)\n", lnb, rc);
    return 1;
  }
  return 0;  // the handle writes the registry back as it goes out of scope
}

// Prints every LNB the patch tool would visit, without changing the file.
int show(const char *path) {
  NConfig registry(0);
  registry.setName(path);
  const int rc = registry.open(NC_O_RO);
  if (rc != NC_ERR_OK) {
    fprintf(stderr, "sample_registry: cannot open %s (error %d)\n", path, rc);
    return 1;
  }
  char key[100];
  for (int lnb = 0;; ++lnb) {
    unsigned int lofH;
    snprintf(key, sizeof key, kLnbKey, lnb, "lofH");
    if (registry.getKey(key, lofH) != NC_ERR_OK) break;
    char *table = nullptr;
    snprintf(key, sizeof key, kLnbKey, lnb, "RotorTable");
    if (registry.getKey(key, table) == NC_ERR_OK && table != nullptr) {
      printf("  LNB %d  lofH=%u  RotorTable='%s'\n", lnb, lofH, table);
    } else {
      printf("  LNB %d  lofH=%u  (no RotorTable)\n", lnb, lofH);
    }
    free(table);
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "create") == 0) return create(argv[2]);
  if (argc == 3 && strcmp(argv[1], "show") == 0) return show(argv[2]);
  fprintf(stderr, "usage: sample_registry create|show PATH\n");
  return 2;
}
