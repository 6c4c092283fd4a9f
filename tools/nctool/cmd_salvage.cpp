// salvage: copies what can still be read from a damaged registry.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>

#include "copy_result.h"
#include "lib/system/nconfig_tool.h"
#include "registry.h"
#include "tool.h"

namespace nctool {

namespace {

int runSalvage(const std::string &from, const std::string &to) {
  requireFile(from, NC_O_RO);
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) throw Failure(to, "exists already");
  nc_salvage_report s;
  std::string why;
  const int rc = nc_salvage(from.c_str(), to.c_str(), &s, &why);
  if (rc == NC_ERR_CORRUPT)
    throw Failure(from, why.empty() ? "not a registry file (empty, or wrong magic number)" : why);
  copyResult(rc, from, to, why);
  for (const std::string &line : s.lost) printf("lost %s\n", line.c_str());
  printf("%s: salvaged %u director%s and %u key%s into %s; %zu lost\n", from.c_str(),
         s.directories, s.directories == 1 ? "y" : "ies", s.keys, s.keys == 1 ? "" : "s",
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
      "new registry in DAMAGED's byte order. Prints a 'lost PATH: reason' line\n"
      "for each entry left out, then a summary. Exit status 0 when nothing was\n"
      "lost, 1 when something was, 2 when DAMAGED cannot be read or DEST cannot\n"
      "be made.\n"
      "Example:  nctool salvage broken.db rescued.db");
  cmd->add_option("DAMAGED", o->from, "Registry file to read")->required();
  cmd->add_option("DEST", o->to, "New registry file to write")->required();
  out.push_back({cmd, [o] { return runSalvage(o->from, o->to); }});
}

}  // namespace nctool
