// export, import and compact: moving trees between registries and text.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "copy_result.h"
#include "io.h"
#include "json_io.h"
#include "pathname.h"
#include "registry.h"
#include "tool.h"
#include "tree.h"

namespace nctool {

namespace {

bool exists(const std::string &file) {
  struct stat st;
  return ::lstat(file.c_str(), &st) == 0;
}

// Removes a file this command created unless the command completes.
class CreatedFile {
 public:
  explicit CreatedFile(std::string file) : file_(std::move(file)) {}
  ~CreatedFile() {
    if (!kept_) ::unlink(file_.c_str());
  }
  void keep() { kept_ = true; }

 private:
  std::string file_;
  bool kept_ = false;
};

// Gives `to` the permission bits of `from`, and its owner and group when
// run as root (others cannot give files away).
void copyOwnership(const std::string &from, const std::string &to) {
  struct stat st;
  if (::stat(from.c_str(), &st) != 0) throw Failure(from, strerror(errno));
  if (::geteuid() == 0 && ::chown(to.c_str(), st.st_uid, st.st_gid) != 0)
    throw Failure(to, std::string("cannot set the owner: ") + strerror(errno));
  if (::chmod(to.c_str(), st.st_mode & 07777) != 0)
    throw Failure(to, std::string("cannot set permissions: ") + strerror(errno));
}

int runExport(const std::string &file, const std::string &path,
              const std::string &output) {
  writeOutput(output, exportDocument(readFileTree(file, path), path));
  return kExitOk;
}

// `at` is null when no --at was given; an empty one is refused as a path.
int runImport(const std::string &file, const std::string &input,
              const std::string *at, const Parameters &params) {
  if (at != nullptr) requirePath(file, *at);
  const std::string source = sourceName(input);
  std::string path;
  const Node tree = importDocument(readInput(input), source, path);
  requirePath(source, path);
  if (at != nullptr) path = *at;

  std::unique_ptr<CreatedFile> created;
  if (!exists(file)) {
    createRegistry(file, params);
    created = std::make_unique<CreatedFile>(file);
  }
  changeFile(file, [&](Registry &reg) {
    checkWritable(reg, path, tree);
    writeTree(reg, path, tree, false);
  });
  if (created) created->keep();
  return kExitOk;
}

int runCompact(const std::string &from, const std::string &to,
               Parameters params, bool pages, bool slots, bool records) {
  {
    Registry src;
    src.openFile(from, NC_O_RO);
    const Parameters own = src.growth();
    if (!pages) params.size_inc = own.size_inc;
    if (!slots) params.ent_inc = own.ent_inc;
    if (!records) params.chunk_inc = own.chunk_inc;
  }  // closed: the copy opens the file itself
  if (exists(to)) throw Failure(to, "exists already");
  const std::string which =
      " (the parameters of " + from + "; choose others with --pages, --slots, --records)";
  try {
    checkParameters(to, params);
  } catch (const Failure &f) {
    throw Failure(to, std::string(f.what()) + which);
  }
  std::string why;
  const int rc = nc_compact(from.c_str(), to.c_str(), &params, &why);
  if (rc == NC_ERR_NVAL) throw Failure(to, tooBig(params) + which);
  copyResult(rc, from, to, why);
  CreatedFile created(to);
  copyOwnership(from, to);
  created.keep();
  return kExitOk;
}

}  // namespace

void addTransferCommands(CLI::App &app, std::vector<Command> &out) {
  struct Options {
    std::string file, path = "/", io = "-", target, at;
    Parameters params = kDefaultParameters;
  };

  auto ex = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("export", "Write a subtree as JSON");
  cmd->footer(
      "Writes PATH and everything below it as JSON that keeps every type and\n"
      "every byte exactly; 'import' recreates it.\n"
      "Example:  nctool export reg.db /net -o net.json");
  cmd->add_option("FILE", ex->file, "Registry file")->required();
  cmd->add_option("PATH", ex->path, "Subtree to export")->capture_default_str();
  cmd->add_option("-o,--output", ex->io, "Write here instead of standard output");
  out.push_back({cmd, [ex] { return runExport(ex->file, ex->path, ex->io); }});

  auto im = std::make_shared<Options>();
  cmd = app.add_subcommand("import", "Recreate a tree from an export");
  cmd->footer(
      "Recreates the tree at the path it was exported from, or at --at.\n"
      "Keys it names are overwritten (a key of another type is an error, and\n"
      "then nothing changes); other entries are kept. A missing FILE is created\n"
      "with the parameters above.\n"
      "Example:  nctool import new.db net.json --at /backup/net");
  cmd->add_option("FILE", im->file, "Registry file")->required();
  cmd->add_option("INPUT", im->io, "Export to read; '-' for standard input")
      ->capture_default_str();
  const CLI::Option *at =
      cmd->add_option("--at", im->at, "Path at which to recreate the tree");
  addParameterOptions(cmd, im->params);
  out.push_back({cmd, [im, at] {
                   return runImport(im->file, im->io,
                                    at->count() != 0 ? &im->at : nullptr,
                                    im->params);
                 }});

  auto co = std::make_shared<Options>();
  cmd = app.add_subcommand("compact", "Copy the tree into a fresh registry");
  cmd->footer(
      "Writes DEST, which must not exist, holding the same tree as FILE but\n"
      "none of its fragmented or leaked space. DEST takes FILE's parameters\n"
      "unless given above.\n"
      "Example:  nctool compact reg.db fresh.db && mv fresh.db reg.db");
  cmd->add_option("FILE", co->file, "Registry file to read")->required();
  cmd->add_option("DEST", co->target, "New registry file to write")->required();
  addParameterOptions(cmd, co->params, false);
  out.push_back({cmd, [co, cmd] {
                   return runCompact(co->file, co->target, co->params,
                                     cmd->count("--pages") > 0,
                                     cmd->count("--slots") > 0,
                                     cmd->count("--records") > 0);
                 }});
}

}  // namespace nctool
