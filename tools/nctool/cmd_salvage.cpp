// salvage: copies what can still be read from a damaged registry.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>

#include "image.h"
#include "registry.h"
#include "salvage.h"
#include "tool.h"
#include "tree.h"

namespace nctool {

namespace {

// The damaged file's own parameters when they can make a registry, else the
// defaults.
Parameters parametersOf(const Image &image) {
  nc_sb_s sb;
  memcpy(&sb, image.bytes.data(), sizeof sb);
  Parameters p{sb.size_inc, sb.ent_inc, sb.chunk_inc};
  try {
    checkParameters("", p);
    return p;
  } catch (const Failure &) {
    return kDefaultParameters;
  }
}

int runSalvage(const std::string &from, const std::string &to) {
  Image image = loadImage(from);
  if (image.bytes.size() < sizeof(nc_sb_s) ||
      memcmp(image.bytes.data(), NC_SB_MAGIC, 4) != 0)
    throw Failure(from, "not a registry file (empty, or wrong magic number)");
  // A damaged file of the other byte order cannot be brought into this
  // machine's order safely; salvage it on a machine of its own order.
  if (otherByteOrder(image.bytes.data(), image.bytes.size())) {
    std::string why = toHostOrder(image);
    if (!why.empty()) throw Failure(from, "of the other byte order, and " + why);
  }
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) throw Failure(to, "exists already");
  const Salvage s = salvageImage(image);
  createRegistry(to, parametersOf(image));
  try {
    Registry dst;
    dst.openFile(to, NC_O_RW);
    Lock lock(dst, NC_L_RW);
    writeTree(dst, "/", s.tree, true);
  } catch (...) {
    ::unlink(to.c_str());
    throw;
  }
  for (const std::string &line : s.lost) printf("lost %s\n", line.c_str());
  uint32_t dirs = 0, keys = 0;  // the root is one of the directories
  forEachNode(s.tree, "/", [&](const Node &n, const std::string &) {
    ++(n.type == NC_DIR ? dirs : keys);
  });
  printf("%s: salvaged %u director%s and %u key%s into %s; %zu lost\n",
         from.c_str(), dirs, dirs == 1 ? "y" : "ies", keys, keys == 1 ? "" : "s",
         to.c_str(), s.lost.size());
  return s.lost.empty() ? kExitOk : kExitNo;
}

}  // namespace

void addSalvageCommand(CLI::App &app, std::vector<Command> &out) {
  struct Options {
    std::string from, to;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("salvage", "Copy what a damaged file still holds");
  cmd->footer(
      "Reads DAMAGED as bytes, trusting none of them, and writes every entry\n"
      "whose name, type, parent link and value are still sound into DEST, a\n"
      "new registry. Prints a 'lost PATH: reason' line for each entry left\n"
      "out, then a summary. Exit status 0 when nothing was lost, 1 when\n"
      "something was, 2 when DAMAGED cannot be read or DEST cannot be made.\n"
      "Example:  nctool salvage broken.db rescued.db");
  cmd->add_option("DAMAGED", o->from, "Registry file to read")->required();
  cmd->add_option("DEST", o->to, "New registry file to write")->required();
  out.push_back({cmd, [o] { return runSalvage(o->from, o->to); }});
}

}  // namespace nctool
