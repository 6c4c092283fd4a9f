// dump and load: a registry tree as lines of text, and back.
#include <CLI/CLI.hpp>

#include "dump_format.h"
#include "io.h"
#include "pathname.h"
#include "registry.h"
#include "tool.h"
#include "tree.h"

namespace nctool {

namespace {

int runDump(const std::string &file, const std::string &path,
            const std::string &output) {
  writeOutput(output, dumpText(readFileTree(file, path), path));
  return kExitOk;
}

int runLoad(const std::string &file, const std::string &at,
            const std::string &input) {
  if (!at.empty()) requirePath(file, at);
  const std::string source = sourceName(input);
  std::string path;
  const Node tree = parseDump(readInput(input), source, path);
  if (!at.empty()) path = at;
  changeFile(file, [&](Registry &reg) {
    checkWritable(reg, path, tree);
    writeTree(reg, path, tree, false);
  });
  return kExitOk;
}

}  // namespace

void addTextCommands(CLI::App &app, std::vector<Command> &out) {
  struct Options {
    std::string file, path = "/", io = "-";
  };
  auto dump = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("dump", "Write a subtree as lines of text");
  cmd->footer(
      "A '[/dir/path]' line for each directory, then one 'name=type:value'\n"
      "line for each of its keys. Every byte is kept: names and strings are\n"
      "escaped (\\\\ \\n \\t \\r \\xNN), raw values are hex, doubles read back\n"
      "bit for bit. 'diff -u' of two dumps shows just the changed keys;\n"
      "'load' reads a dump back.\n"
      "Example:  nctool dump reg.db /net > net.txt");
  cmd->add_option("FILE", dump->file, "Registry file")->required();
  cmd->add_option("PATH", dump->path, "Subtree to dump")->capture_default_str();
  cmd->add_option("-o,--output", dump->io, "Write here instead of standard output");
  out.push_back({cmd, [dump] { return runDump(dump->file, dump->path, dump->io); }});

  auto load = std::make_shared<Options>();
  load->path.clear();
  cmd = app.add_subcommand("load", "Apply a dump, all or nothing");
  cmd->footer(
      "Reads a dump from standard input (or --input) and stores it where it\n"
      "was dumped from, or at PATH. Keys it names are created or replaced;\n"
      "other entries are kept. One atomic change: on any error (a bad line, a\n"
      "key of another type) nothing changes, and the message names the line.\n"
      "Example:  nctool load reg.db /backup/net < net.txt");
  cmd->add_option("FILE", load->file, "Registry file")->required();
  cmd->add_option("PATH", load->path, "Store the dump's top directory here");
  cmd->add_option("-i,--input", load->io, "Read this file instead of standard input");
  out.push_back({cmd, [load] { return runLoad(load->file, load->path, load->io); }});
}

}  // namespace nctool
