// Making the registry a copy writes into (see new_registry.h).
#include "new_registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "byteorder.h"
#include "format.h"
#include "image_file.h"
#include "internal.h"

namespace nc {

NewRegistry::~NewRegistry() {
  if (!made_ || kept_) return;
  handle_.close();  // may commit what was stored: the file goes all the same
  removeRegistry(path_.c_str());
}

int NewRegistry::create(const char *path, const nc_params &p, std::string *why) {
  if (const char *problem = creationProblem(p.size_inc, p.ent_inc, p.chunk_inc))
    return *why = std::string("growth parameters: ") + problem, NC_ERR_NVAL;
  int rc = handle_.setName(path);
  if (rc == NC_ERR_OK) rc = handle_.createNew(p.size_inc, p.ent_inc, p.chunk_inc);
  if (rc == NC_ERR_PERM) return *why = "exists already", rc;
  if (rc != NC_ERR_OK) return *why = "cannot be created", rc == NC_ERR_NVAL ? rc : NC_ERR_NFILE;
  path_ = path;
  made_ = true;
  if (handle_.open(NC_O_RW) != NC_ERR_OK) return *why = "cannot open it once made", NC_ERR_NFILE;
  handle_.lockFile(NC_L_RW, 0);
  return NC_ERR_OK;
}

int NewRegistry::directory(const std::string &path, uint32_t children) {
  return stored(path, handle_.createDir(path.c_str(), children));
}

int NewRegistry::key(const std::string &path, uint32_t type, const char *value, uint32_t len) {
  return stored(path, handle_.setUntyped(path.c_str(), type, value, len));
}

int NewRegistry::stored(const std::string &path, int rc) {
  if (rc != NC_ERR_OK) refusal_ = path + ": " + nc_strerror(rc);
  return rc;
}

int NewRegistry::finish(int order, std::string *why) {
  if (int rc = handle_.release()) return *why = "its commit failed", rc;
  handle_.close();
  const int fd = sys().open(path_.c_str(), O_RDONLY | O_CLOEXEC, 0);
  const bool synced = fd >= 0 && sys().fsync(fd) == 0;
  const int err = errno;
  if (fd >= 0) sys().close(fd);
  if (!synced) return *why = std::string("cannot sync it: ") + strerror(err), NC_ERR_NFILE;
  if (unlink((path_ + "-journal").c_str()) != 0 && errno != ENOENT)
    return *why = std::string("cannot remove its journal: ") + strerror(errno), NC_ERR_NFILE;
  const bool big = order == NC_ORDER_BIG;
  if (big != hostIsBig()) {
    if (int rc = rewriteForeign(path_.c_str(), why)) return rc;
  }
  kept_ = true;
  return NC_ERR_OK;
}

}  // namespace nc
