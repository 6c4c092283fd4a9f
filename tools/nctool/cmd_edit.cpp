// set, mkdir, rm and mv: changing a registry.
#include <CLI/CLI.hpp>
#include <cstring>

#include "edits.h"
#include "io.h"
#include "pathname.h"
#include "registry.h"
#include "show.h"
#include "tool.h"
#include "tree.h"

namespace nctool {

namespace {

// Runs `edit` on `file` opened read-write as one change, made wholly or not
// at all.
template <typename Edit>
int edit(const std::string &file, Edit edit) {
  changeFile(file, edit);
  return kExitOk;
}

int runSet(const std::string &file, const std::string &path,
           const std::string &type, const std::string &value, bool has_value,
           const std::string &from) {
  requirePath(file, path);
  if (has_value && !from.empty())
    throw Failure(file, path + ": give a VALUE or --from, not both");
  if (typeFromName(type) == NC_DIR) {
    uint64_t slots = 0;
    if (has_value && (!parseUint(value, slots) || slots > UINT32_MAX))
      throw Failure(file, path + ": " + quote(value) + " is not a slot count");
    return edit(file, [&](Registry &r) { makeDirectory(r, path, uint32_t(slots)); });
  }
  if (!has_value && from.empty()) {
    parseKey(file, path, type, "", false);  // names an unknown type first
    throw Failure(file, path + ": a " + type + " needs a VALUE or --from");
  }
  const bool bytes = !from.empty();
  const Node key = parseKey(file, path, type, bytes ? readInput(from) : value, bytes);
  return edit(file, [&](Registry &r) { storeKey(r, path, key); });
}

// The command line of one editing command.
struct Options {
  std::string file, path, type, value, target, from;
  unsigned int slots = 0;
  bool recursive = false, force = false;
  CLI::Option *value_option = nullptr;
};

void addSet(CLI::App &app, std::vector<Command> &out) {
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
      "follows '--'. With --from, the value comes from a file or standard\n"
      "input instead: a raw value as its bytes (not hex), a string as it is.\n"
      "Examples:  nctool set reg.db /net/port uint 8001\n"
      "           nctool set reg.db /tune/offset int -- -250\n"
      "           nctool set reg.db /keys/k1 raw 00ff10\n"
      "           nctool set reg.db /keys/k2 raw --from k2.bin");
  cmd->add_option("FILE", set->file, "Registry file")->required();
  cmd->add_option("PATH", set->path, "Key")->required();
  cmd->add_option("TYPE", set->type, "string, int, uint, double, raw or dir")
      ->required();
  set->value_option = cmd->add_option("VALUE", set->value, "The value");
  cmd->add_option("--from", set->from,
                  "Take the value from this file ('-': standard input): "
                  "strings and raw values byte for byte, numbers as text");
  out.push_back({cmd, [set] {
                   return runSet(set->file, set->path, set->type, set->value,
                                 set->value_option->count() > 0, set->from);
                 }});
}

void addMkdir(CLI::App &app, std::vector<Command> &out) {
  auto mkdir = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("mkdir", "Create a directory");
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
                                 std::to_string(mkdir->slots), true, "");
                 }});
}

void addRm(CLI::App &app, std::vector<Command> &out) {
  auto rm = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("rm", "Remove a key or a directory");
  cmd->footer(
      "A directory that is not empty needs -r. The root cannot be removed.\n"
      "Example:  nctool rm -r reg.db /net/hosts");
  cmd->add_option("FILE", rm->file, "Registry file")->required();
  cmd->add_option("PATH", rm->path, "Key or directory")->required();
  cmd->add_flag("-r,--recursive", rm->recursive,
                "Remove a directory with everything below it");
  cmd->add_flag("-f,--force", rm->force, "A missing PATH is not an error");
  out.push_back({cmd, [rm] {
                   requirePath(rm->file, rm->path);
                   return edit(rm->file, [&](Registry &r) {
                     removeEntry(r, rm->path, rm->recursive, rm->force);
                   });
                 }});
}

void addMv(CLI::App &app, std::vector<Command> &out) {
  auto mv = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("mv", "Rename or move a key or a directory");
  cmd->footer(
      "NEW without '/' is a new name in the same directory; NEW with '/' is a\n"
      "new path. An existing directory NEW receives PATH under its own name.\n"
      "An existing key is never overwritten.\n"
      "Examples:  nctool mv reg.db /net/host hostname\n"
      "           nctool mv reg.db /net/hostname /system");
  cmd->add_option("FILE", mv->file, "Registry file")->required();
  cmd->add_option("PATH", mv->path, "Key or directory")->required();
  cmd->add_option("NEW", mv->target, "New name or new path")->required();
  out.push_back({cmd, [mv] {
                   requirePath(mv->file, mv->path);
                   if (mv->target.find('/') != std::string::npos)
                     requirePath(mv->file, mv->target);
                   return edit(mv->file, [&](Registry &r) {
                     moveEntry(r, mv->path, mv->target);
                   });
                 }});
}

}  // namespace

void addEditCommands(CLI::App &app, std::vector<Command> &out) {
  addSet(app, out);
  addMkdir(app, out);
  addRm(app, out);
  addMv(app, out);
}

}  // namespace nctool
