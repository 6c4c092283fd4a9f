// A registry file made for a whole-file copy: created natively, filled in
// one commit, then put into the byte order asked for. It is complete when
// finish() succeeds and absent otherwise.
#ifndef LIB_SYSTEM_NCONFIG_NEW_REGISTRY_H
#define LIB_SYSTEM_NCONFIG_NEW_REGISTRY_H

#include <cstdint>
#include <string>

#include "careful_walk.h"
#include "ext.h"
#include "lib/system/nconfig_tool.h"

namespace nc {

class NewRegistry : public TreeSink {
 public:
  // Makes nothing yet: create() makes the file.
  NewRegistry() : handle_(0) {}
  // Removes the file (and its journal) unless finish() succeeded.
  ~NewRegistry() override;
  NewRegistry(const NewRegistry &) = delete;
  NewRegistry &operator=(const NewRegistry &) = delete;

  // Creates `path`, which must not exist, with growth parameters `p`, opens
  // it and takes its exclusive lock for the filling.
  //   NC_ERR_OK
  //   NC_ERR_PERM   something exists at `path` (left alone)
  //   NC_ERR_NVAL   `p` cannot make a registry (*why says why)
  //   NC_ERR_NFILE  it cannot be created or opened
  int create(const char *path, const nc_params &p, std::string *why);

  // TreeSink: the directory with exactly `children` slots; the key stored
  // byte for byte. Results as createDir and setKey.
  int directory(const std::string &path, uint32_t children) override;
  int key(const std::string &path, uint32_t type, const char *value, uint32_t len) override;

  // Commits what was stored, closes the file, syncs it, removes its journal
  // (no one else knows the file, and its records are in it), and rewrites it
  // in `order` (NC_ORDER_LITTLE or NC_ORDER_BIG) when that is not this
  // machine's. NC_ERR_OK; else the file is removed and the failure answered
  // (NC_ERR_NMEM: the commit failed; NC_ERR_NFILE: sync or rewrite failed).
  int finish(int order, std::string *why);
  // Why the last store refused, "PATH: reason"; "" while none has.
  const std::string &refusal() const { return refusal_; }

 private:
  // Answers rc, recording a refusal of `path`.
  int stored(const std::string &path, int rc);

  NConfigExt handle_;
  std::string path_;
  bool made_ = false;  // the file exists because of create()
  bool kept_ = false;
  std::string refusal_;
};

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_NEW_REGISTRY_H
