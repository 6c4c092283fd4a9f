// ls, tree and get: looking into a registry.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>

#include "json_io.h"
#include "pathname.h"
#include "registry.h"
#include "show.h"
#include "tool.h"
#include "tree.h"

namespace nctool {

namespace {

// Prints the children of `n`, indented by `indent` levels below their parent.
void printTree(const Node &n, int indent, bool full) {
  for (const Node &c : n.children) {
    printf("%*s%s\n", indent * 2, "", showEntry(c, c.name, full).c_str());
    printTree(c, indent + 1, full);
  }
}

// Writes `bytes` to standard output as they are.
void writeOut(const std::string &bytes) {
  fwrite(bytes.data(), 1, bytes.size(), stdout);
}

int runLs(const std::string &file, const std::string &path, bool full,
          bool json) {
  requirePath(file, path);
  Registry reg;
  reg.openFile(file, NC_O_RO);
  Lock lock(reg, NC_L_RO);
  Node n = readTree(reg, path, 1);
  if (json) {
    writeOut(listingJson(n, path));
    return kExitOk;
  }
  for (const Node *e : listed(n)) printf("%s\n", showEntry(*e, e->name, full).c_str());
  return kExitOk;
}

int runTree(const std::string &file, const std::string &path, bool full) {
  requirePath(file, path);
  Registry reg;
  reg.openFile(file, NC_O_RO);
  Lock lock(reg, NC_L_RO);
  Node n = readTree(reg, path);
  printf("%s\n", showEntry(n, path, full).c_str());
  printTree(n, 1, full);
  return kExitOk;
}

int runGet(const std::string &file, const std::string &path, bool binary,
           bool json) {
  requirePath(file, path);
  Registry reg;
  reg.openFile(file, NC_O_RO);
  Lock lock(reg, NC_L_RO);
  Node n = readTree(reg, path, 0);
  if (n.type == NC_DIR) throw Failure(file, path + ": is a directory");
  if (json) {
    writeOut(keyJson(n, path));
    return n.has_value && n.type != NC_LINK ? kExitOk : kExitNo;
  }
  if (n.type == NC_RAW) {
    if (binary) {
      writeOut(n.bytes);
    } else {
      printf("%s\n", hex(n.bytes).c_str());
    }
    return kExitOk;
  }
  if (!n.has_value || n.type == NC_LINK)
    throw Failure(file, path + ": has no value", kExitNo);
  if (n.type == NC_STRING) {
    writeOut(n.bytes);
    if (!binary) putchar('\n');
  } else {
    printf(binary ? "%s" : "%s\n", showValue(n, true).c_str());
  }
  return kExitOk;
}

}  // namespace

void addReadCommands(CLI::App &app, std::vector<Command> &out) {
  struct Options {
    std::string file;
    std::string path = "/";
    bool full = false;
    bool binary = false;
    bool json = false;
  };

  auto ls = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("ls", "List a directory");
  cmd->footer(
      "One line per entry in name order: 'name/' for a directory,\n"
      "'name (type) = value' for a key. Strings are quoted and escaped, raw\n"
      "values are hex; long values are shortened unless --full.\n"
      "Example:  nctool ls reg.db /net");
  cmd->add_option("FILE", ls->file, "Registry file")->required();
  cmd->add_option("PATH", ls->path, "Directory (or key) to list")
      ->capture_default_str();
  cmd->add_flag("--full", ls->full, "Show long values whole, not shortened");
  cmd->add_flag("--json", ls->json, "One line of JSON (schema in README)");
  out.push_back(
      {cmd, [ls] { return runLs(ls->file, ls->path, ls->full, ls->json); }});

  auto tree = std::make_shared<Options>();
  cmd = app.add_subcommand("tree", "Show a subtree with types and values");
  cmd->footer(
      "Shows PATH and everything below it, indented, in the form of 'ls'.\n"
      "Example:  nctool tree reg.db /net");
  cmd->add_option("FILE", tree->file, "Registry file")->required();
  cmd->add_option("PATH", tree->path, "Subtree to show")->capture_default_str();
  cmd->add_flag("--full", tree->full, "Show long values whole, not shortened");
  out.push_back(
      {cmd, [tree] { return runTree(tree->file, tree->path, tree->full); }});

  auto get = std::make_shared<Options>();
  cmd = app.add_subcommand("get", "Print one value alone, for scripts");
  cmd->footer(
      "Strings as they are, numbers in decimal, raw values in hex; each\n"
      "followed by a newline. Exit status 1 when the key is missing or has\n"
      "no value.\n"
      "Example:  port=$(nctool get reg.db /net/port)");
  cmd->add_option("FILE", get->file, "Registry file")->required();
  cmd->add_option("PATH", get->path, "Key")->required();
  cmd->add_flag("-b,--binary,--raw", get->binary,
                "Write strings and raw values as their bytes and numbers as "
                "text, without a newline; 'set --from' reads it back");
  cmd->add_flag("--json", get->json,
                "One line of JSON: path, type and value (schema in README)");
  out.push_back({cmd, [get] {
                   return runGet(get->file, get->path, get->binary, get->json);
                 }});
}

}  // namespace nctool
