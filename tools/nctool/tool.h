// Shared declarations of nctool, the command-line inspector, editor and
// integrity check for registry files.
#ifndef TOOLS_NCTOOL_TOOL_H
#define TOOLS_NCTOOL_TOOL_H

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace CLI {
class App;
}

struct nc_params;

namespace nctool {

using Parameters = nc_params;

// Exit statuses shared by every command, for scripts to rely on.
constexpr int kExitOk = 0;       // success
constexpr int kExitNo = 1;       // a negative answer: no such key, trees
                                 // differ, damage found
constexpr int kExitTrouble = 2;  // bad usage, unreadable file, refused change,
                                 // full disk, no permission

// A failed command: main prints "nctool: FILE: CAUSE" on standard error and
// exits with `status` (kExitNo for a negative answer, else kExitTrouble).
// Commands throw it instead of printing themselves, so every error is
// exactly one line.
struct Failure : std::runtime_error {
  Failure(std::string file, const std::string &cause, int status = kExitTrouble)
      : std::runtime_error(cause), file(std::move(file)), status(status) {}
  std::string file;
  int status;
};

// A subcommand: its parser and the work it does once the command line has
// been parsed. `run` returns the exit status or throws Failure.
struct Command {
  CLI::App *app;
  std::function<int()> run;
};

// Each command file registers its subcommands with the top-level parser.
void addCreateCommand(CLI::App &app, std::vector<Command> &out);
void addReadCommands(CLI::App &app, std::vector<Command> &out);   // ls, tree, get
void addEditCommands(CLI::App &app, std::vector<Command> &out);   // set, mkdir, rm, mv
void addStatCommand(CLI::App &app, std::vector<Command> &out);
void addCheckCommand(CLI::App &app, std::vector<Command> &out);
void addTransferCommands(CLI::App &app, std::vector<Command> &out);  // export, import, compact
void addDiffCommand(CLI::App &app, std::vector<Command> &out);
void addTextCommands(CLI::App &app, std::vector<Command> &out);   // dump, load
void addBatchCommand(CLI::App &app, std::vector<Command> &out);
void addWatchCommand(CLI::App &app, std::vector<Command> &out);
void addSalvageCommand(CLI::App &app, std::vector<Command> &out);
void addConvertCommand(CLI::App &app, std::vector<Command> &out);

// Adds --pages, --slots and --records, which set the fields of `p`.
// With `show_defaults`, help shows the values `p` holds now.
void addParameterOptions(CLI::App *cmd, Parameters &p, bool show_defaults = true);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_TOOL_H
