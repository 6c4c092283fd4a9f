// set, mkdir, rm and mv: changing a registry.
#include <CLI/CLI.hpp>
#include <cstring>

#include "pathname.h"
#include "registry.h"
#include "text.h"
#include "tool.h"
#include "tree.h"

namespace nctool {

namespace {

// The key `type` holding `value` as the command line gives it.
Node parseKey(const std::string &file, const std::string &path, uint32_t type,
              const std::string &value) {
  Node n;
  n.type = type;
  bool ok = true;
  switch (type) {
    case NC_STRING:
      n.bytes = value;
      break;
    case NC_INT: {
      int64_t v;
      ok = parseInt(value, v);
      n.bits = uint64_t(v);
      break;
    }
    case NC_UINT:
      ok = parseUint(value, n.bits);
      break;
    case NC_DOUBLE: {
      double d;
      ok = parseDouble(value, d);
      memcpy(&n.bits, &d, sizeof d);
      break;
    }
    case NC_RAW:
      ok = unhex(value, n.bytes);
      break;
  }
  if (!ok)
    throw Failure(file, path + ": " + quote(value) + " is not a valid " +
                            typeName(type) + " value");
  return n;
}

int runSet(const std::string &file, const std::string &path,
           const std::string &type, const std::string &value, bool has_value) {
  requirePath(file, path);
  uint32_t t = typeFromName(type);
  if (t == 0 || t == NC_LINK)
    throw Failure(file, "unknown type " + quote(type) +
                            " (use dir, string, int, uint, raw or double)");
  if (t == NC_DIR) {
    uint64_t slots = 0;
    if (has_value && (!parseUint(value, slots) || slots > UINT32_MAX))
      throw Failure(file, path + ": " + quote(value) + " is not a slot count");
    Registry reg;
    reg.openFile(file, NC_O_RW);
    Lock lock(reg, NC_L_RW);
    Node dir;
    dir.type = NC_DIR;
    checkWritable(reg, path, dir);
    int rc = reg.createDir(path.c_str(), unsigned(slots));
    if (rc != NC_ERR_OK) throw Failure(file, path + ": " + resultText(rc));
    return kExitOk;
  }
  if (!has_value) throw Failure(file, path + ": a " + type + " needs a VALUE");
  Node key = parseKey(file, path, t, value);
  if (t == NC_STRING && key.bytes.find('\0') != std::string::npos)
    throw Failure(file, path + ": strings cannot hold NUL bytes");
  Registry reg;
  reg.openFile(file, NC_O_RW);
  Lock lock(reg, NC_L_RW);
  checkWritable(reg, path, key);
  writeTree(reg, path, key, false);
  return kExitOk;
}

int runRm(const std::string &file, const std::string &path, bool recursive,
          bool force) {
  requirePath(file, path);
  Registry reg;
  reg.openFile(file, NC_O_RW);
  Lock lock(reg, NC_L_RW);
  Entry e = reg.find(path);
  if (!e.found) {
    if (force) return kExitOk;
    throw Failure(file, path + ": no such key or directory", kExitNo);
  }
  if (e.is_root) throw Failure(file, path + ": cannot remove the root directory");
  if (e.type == NC_DIR && !recursive && !readTree(reg, path, 1).children.empty())
    throw Failure(file, path + ": directory is not empty (use -r)");
  reg.delKey(path.c_str());
  if (reg.find(path).found) throw Failure(file, path + ": could not be removed");
  return kExitOk;
}

// True when the entry `e` is `path` or one of the directories above it.
bool isAncestor(Registry &reg, const Entry &e, const std::string &path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    Entry p = reg.find(path.substr(0, i));
    if (p.found && p.where == e.where) return true;
  }
  return false;
}

int runMv(const std::string &file, const std::string &from,
          const std::string &to) {
  requirePath(file, from);
  if (to.find('/') != std::string::npos) requirePath(file, to);
  Registry reg;
  reg.openFile(file, NC_O_RW);
  Lock lock(reg, NC_L_RW);
  Entry e = reg.find(from);
  if (!e.found)
    throw Failure(file, from + ": no such key or directory", kExitNo);
  if (e.is_root) throw Failure(file, from + ": cannot move the root directory");
  // A plain name renames within the directory; a path moves. As with files,
  // an existing directory receives the entry under its own name.
  std::string target =
      to.find('/') == std::string::npos ? joinPath(dirName(from), to) : to;
  Entry there = reg.find(target);
  if (there.found && there.type == NC_DIR)
    target = joinPath(target, baseName(from));
  const std::string newName = baseName(target);
  if (!isPlainName(newName))
    throw Failure(file, to + ": not a usable name for an entry");
  if (reg.find(target).found) throw Failure(file, target + ": exists already");
  if (isAncestor(reg, e, target))
    throw Failure(file, target + ": cannot move a directory into itself");

  Entry oldParent = reg.find(dirName(from));
  Entry newParent = reg.find(dirName(target));
  if (newParent.found && newParent.where == oldParent.where) {
    // Renaming checks for a clash in the current directory: stand in the
    // parent so it checks the right one.
    int rc = reg.chDir(dirName(from).c_str());
    if (rc == NC_ERR_OK) rc = reg.renameKey(baseName(from).c_str(), newName.c_str());
    reg.chDir("/");
    if (rc != NC_ERR_OK) throw Failure(file, from + ": " + resultText(rc));
  } else {
    Node n = readTree(reg, from);
    n.name = newName;
    checkWritable(reg, target, n);
    writeTree(reg, target, n, false);
    reg.delKey(from.c_str());
  }
  if (!reg.find(target).found || reg.find(from).found)
    throw Failure(file, from + ": could not be moved to " + target);
  return kExitOk;
}

}  // namespace

void addEditCommands(CLI::App &app, std::vector<Command> &out) {
  struct Options {
    std::string file, path, type, value, target;
    unsigned int slots = 0;
    bool recursive = false, force = false;
    CLI::Option *value_option = nullptr;
  };

  auto set = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("set", "Store a value under a key");
  cmd->footer(
      "Creates the key and any missing directories above it, or replaces the\n"
      "value of an existing key of the same TYPE. TYPE and VALUE:\n"
      "  string  any text\n"
      "  int     -9223372036854775808 .. 9223372036854775807\n"
      "  uint    0 .. 18446744073709551615\n"
      "  double  for example 3.5, -1e-9, inf, nan\n"
      "  raw     hex digits; \"\" for an empty value\n"
      "  dir     an optional slot count\n"
      "Integers are decimal, or hex after 0x. A VALUE that begins with '-'\n"
      "follows '--'.\n"
      "Examples:  nctool set reg.db /net/port uint 8001\n"
      "           nctool set reg.db /tune/offset int -- -250\n"
      "           nctool set reg.db /keys/k1 raw 00ff10");
  cmd->add_option("FILE", set->file, "Registry file")->required();
  cmd->add_option("PATH", set->path, "Key")->required();
  cmd->add_option("TYPE", set->type, "string, int, uint, double, raw or dir")
      ->required();
  set->value_option = cmd->add_option("VALUE", set->value, "The value");
  out.push_back({cmd, [set] {
                   return runSet(set->file, set->path, set->type, set->value,
                                 set->value_option->count() > 0);
                 }});

  auto mkdir = std::make_shared<Options>();
  cmd = app.add_subcommand("mkdir", "Create a directory");
  cmd->footer(
      "Creates PATH and any missing directories above it; an existing\n"
      "directory is left as it is.\n"
      "Example:  nctool mkdir reg.db /net/hosts");
  cmd->add_option("FILE", mkdir->file, "Registry file")->required();
  cmd->add_option("PATH", mkdir->path, "Directory")->required();
  cmd->add_option("--slots", mkdir->slots,
                  "Give the directory this many slots now (0: on first use)")
      ->capture_default_str();
  out.push_back({cmd, [mkdir] {
                   return runSet(mkdir->file, mkdir->path, "dir",
                                 std::to_string(mkdir->slots), true);
                 }});

  auto rm = std::make_shared<Options>();
  cmd = app.add_subcommand("rm", "Remove a key or a directory");
  cmd->footer(
      "A directory that is not empty needs -r. The root cannot be removed.\n"
      "Example:  nctool rm -r reg.db /net/hosts");
  cmd->add_option("FILE", rm->file, "Registry file")->required();
  cmd->add_option("PATH", rm->path, "Key or directory")->required();
  cmd->add_flag("-r,--recursive", rm->recursive,
                "Remove a directory with everything below it");
  cmd->add_flag("-f,--force", rm->force, "A missing PATH is not an error");
  out.push_back({cmd, [rm] {
                   return runRm(rm->file, rm->path, rm->recursive, rm->force);
                 }});

  auto mv = std::make_shared<Options>();
  cmd = app.add_subcommand("mv", "Rename or move a key or a directory");
  cmd->footer(
      "NEW without '/' is a new name in the same directory; NEW with '/' is a\n"
      "new path. An existing directory NEW receives PATH under its own name.\n"
      "An existing key is never overwritten.\n"
      "Examples:  nctool mv reg.db /net/host hostname\n"
      "           nctool mv reg.db /net/hostname /system/");
  cmd->add_option("FILE", mv->file, "Registry file")->required();
  cmd->add_option("PATH", mv->path, "Key or directory")->required();
  cmd->add_option("NEW", mv->target, "New name or new path")->required();
  out.push_back(
      {cmd, [mv] { return runMv(mv->file, mv->path, mv->target); }});
}

}  // namespace nctool
