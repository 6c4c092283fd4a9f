// diff: the differences between two registries' trees.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "show.h"
#include "tool.h"
#include "tree.h"

namespace nctool {

namespace {

void show(char mark, const Node &n, const std::string &path, bool full) {
  printf("%c %s\n", mark, showEntry(n, path, full).c_str());
}

// Prints the differences below `a` and `b`, which stand at `path` in both
// files; returns the number of differences.
int compare(const Node &a, const Node &b, const std::string &path, bool full) {
  if (a.type != b.type || (a.type != NC_DIR && a != b)) {
    show('-', a, path, full);
    show('+', b, path, full);
    return 1;
  }
  int found = 0;
  auto i = a.children.begin(), j = b.children.begin();
  while (i != a.children.end() || j != b.children.end()) {
    if (j == b.children.end() || (i != a.children.end() && i->name < j->name)) {
      show('-', *i, joinPath(path, i->name), full);
      ++i, ++found;
    } else if (i == a.children.end() || j->name < i->name) {
      show('+', *j, joinPath(path, j->name), full);
      ++j, ++found;
    } else {
      found += compare(*i, *j, joinPath(path, i->name), full);
      ++i, ++j;
    }
  }
  return found;
}

}  // namespace

void addDiffCommand(CLI::App &app, std::vector<Command> &out) {
  struct Options {
    std::string a, b, path = "/";
    bool full = false;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("diff", "Compare the trees of two registries");
  cmd->footer(
      "'-' lines show entries of FILE that OTHER lacks or holds differently,\n"
      "'+' lines those of OTHER. Exit status 0 when the trees are equal, 1 when\n"
      "they differ.\n"
      "Example:  nctool diff old.db new.db /net");
  cmd->add_option("FILE", o->a, "First registry file")->required();
  cmd->add_option("OTHER", o->b, "Second registry file")->required();
  cmd->add_option("PATH", o->path, "Subtree to compare")->capture_default_str();
  cmd->add_flag("--full", o->full, "Show long values whole, not shortened");
  out.push_back({cmd, [o] {
                   Node a = readFileTree(o->a, o->path), b = readFileTree(o->b, o->path);
                   return compare(a, b, o->path, o->full) == 0 ? kExitOk
                                                               : kExitNo;
                 }});
}

}  // namespace nctool
