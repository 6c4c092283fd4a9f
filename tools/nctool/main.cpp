// nctool: look into, edit, check, export and compact registry files.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "lib/system/nconfig.h"
#include "tool.h"

namespace {

const char kDescription[] =
    "nctool: inspect, edit, check and compact registry files.\n"
    "Every command takes the registry FILE first. Reading commands (ls, tree,\n"
    "get, stat, check, export, dump, diff, watch) open it read-only and never\n"
    "change it. Files of either byte order are read and edited alike.";

const char kFooter[] =
    "Example:\n"
    "  nctool create reg.db\n"
    "  nctool set reg.db /net/host string receiver1\n"
    "  nctool set reg.db /net/port uint 8001\n"
    "  nctool tree reg.db\n"
    "  nctool get reg.db /net/port\n"
    "  nctool check reg.db\n"
    "  nctool compact reg.db fresh.db\n"
    "Values that begin with '-' follow '--':  nctool set reg.db /t int -- -5\n"
    "Run 'nctool COMMAND --help' for the options of one command.\n"
    "Paths are plain absolute paths: '/a/b', never '//', a trailing '/', '.'\n"
    "or '..'.\n"
    "Exit status, the same for every command:\n"
    "  0  success\n"
    "  1  a negative answer: no such key, the trees differ, damage found\n"
    "  2  trouble: bad usage or path, unreadable or foreign file, a refused\n"
    "     change, full disk, no permission\n"
    "Every message on standard error is one line: 'nctool: FILE: cause'.";

const char kVersion[] = "nctool 2.0";

// Prints a command-line error as one "nctool:" line; returns the status.
int usageError(const CLI::ParseError &e, const char *command) {
  std::string hint = command != nullptr
                         ? std::string("; run 'nctool ") + command + " --help'"
                         : "; run 'nctool --help'";
  std::cerr << "nctool: " << (command != nullptr ? command : "usage") << ": "
            << e.what() << hint << std::endl;
  return nctool::kExitTrouble;
}

// Runs the parsed command `c`, turning failures into one message line.
int runCommand(const nctool::Command &c) {
  try {
    int status = c.run();
    if (fflush(stdout) != 0 || ferror(stdout)) {
      std::cerr << "nctool: standard output: " << strerror(errno) << std::endl;
      return nctool::kExitTrouble;
    }
    return status;
  } catch (const nctool::Failure &f) {
    fflush(stdout);
    std::cerr << "nctool: " << f.file << ": " << f.what() << std::endl;
    return f.status;
  } catch (const std::bad_alloc &) {
    std::cerr << "nctool: out of memory" << std::endl;
    return nctool::kExitTrouble;
  }
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app(kDescription, "nctool");
  app.require_subcommand(1);
  app.set_version_flag("--version", kVersion);

  std::vector<nctool::Command> commands;
  nctool::addCreateCommand(app, commands);
  nctool::addReadCommands(app, commands);
  nctool::addEditCommands(app, commands);
  nctool::addStatCommand(app, commands);
  nctool::addCheckCommand(app, commands);
  nctool::addTransferCommands(app, commands);
  nctool::addDiffCommand(app, commands);
  nctool::addTextCommands(app, commands);
  nctool::addBatchCommand(app, commands);
  nctool::addWatchCommand(app, commands);
  nctool::addSalvageCommand(app, commands);
  nctool::addConvertCommand(app, commands);
  app.footer(kFooter);  // after the commands, which would inherit it

  // Name an unknown command as such, not as a missing one.
  if (argc > 1 && argv[1][0] != '-') {
    try {
      app.get_subcommand(argv[1]);
    } catch (const CLI::OptionNotFound &) {
      std::cerr << "nctool: unknown command '" << argv[1]
                << "'; run 'nctool --help' for the list" << std::endl;
      return nctool::kExitTrouble;
    }
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e) == 0 ? nctool::kExitOk : nctool::kExitTrouble;
  } catch (const CLI::CallForAllHelp &e) {
    return app.exit(e) == 0 ? nctool::kExitOk : nctool::kExitTrouble;
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e) == 0 ? nctool::kExitOk : nctool::kExitTrouble;
  } catch (const CLI::ParseError &e) {
    const char *command = argc > 1 && argv[1][0] != '-' ? argv[1] : nullptr;
    return usageError(e, command);
  }

  for (const nctool::Command &c : commands)
    if (c.app->parsed()) return runCommand(c);
  return nctool::kExitTrouble;
}
