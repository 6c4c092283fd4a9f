// nctool: look into, edit, check, export and compact registry files.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "lib/system/nconfig.h"
#include "tool.h"

namespace {

const char kDescription[] =
    "nctool: inspect, edit, check and compact registry files.\n"
    "Every command takes the registry FILE first. Reading commands (ls, tree,\n"
    "get, stat, check, export, diff) open it read-only and never change it.";

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
    "Run 'nctool COMMAND --help' for the options of one command.";

}  // namespace

int main(int argc, char **argv) {
  CLI::App app(kDescription, "nctool");
  app.require_subcommand(1);

  std::vector<nctool::Command> commands;
  nctool::addCreateCommand(app, commands);
  nctool::addReadCommands(app, commands);
  nctool::addEditCommands(app, commands);
  nctool::addStatCommand(app, commands);
  nctool::addCheckCommand(app, commands);
  nctool::addTransferCommands(app, commands);
  nctool::addDiffCommand(app, commands);
  app.footer(kFooter);  // after the commands, which would inherit it

  // Name an unknown command as such, not as a missing one.
  if (argc > 1 && argv[1][0] != '-') {
    try {
      app.get_subcommand(argv[1]);
    } catch (const CLI::OptionNotFound &) {
      std::cerr << "nctool: unknown command '" << argv[1]
                << "'; run 'nctool --help' for the list" << std::endl;
      return nctool::kExitUsage;
    }
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    int status = app.exit(e);  // prints help, or the error and a hint
    return status == 0 ? nctool::kExitOk : nctool::kExitUsage;
  }

  for (const nctool::Command &c : commands) {
    if (!c.app->parsed()) continue;
    try {
      int status = c.run();
      if (fflush(stdout) != 0) {
        perror("nctool: standard output");
        return nctool::kExitFailed;
      }
      return status;
    } catch (const nctool::Failure &f) {
      fflush(stdout);
      std::cerr << "nctool: " << f.file << ": " << f.what() << std::endl;
      return f.status;
    } catch (const std::bad_alloc &) {
      std::cerr << "nctool: out of memory" << std::endl;
      return nctool::kExitFailed;
    }
  }
  return nctool::kExitUsage;
}
