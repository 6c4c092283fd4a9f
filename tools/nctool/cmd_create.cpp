// create: makes an empty registry file.
#include <CLI/CLI.hpp>

#include "registry.h"
#include "tool.h"

namespace nctool {

void addParameterOptions(CLI::App *cmd, Parameters &p, bool show_defaults) {
  CLI::Option *o[] = {
      cmd->add_option("-p,--pages", p.size_inc,
                      "Growth unit in 4096-byte pages: the file's first size "
                      "and the step it grows by"),
      cmd->add_option("-s,--slots", p.ent_inc,
                      "Directory batch: slots a directory gains when full"),
      cmd->add_option("-r,--records", p.chunk_inc,
                      "Free-chunk table: first records, and records added "
                      "each time it grows")};
  if (show_defaults)
    for (CLI::Option *opt : o) opt->capture_default_str();
}

void addCreateCommand(CLI::App &app, std::vector<Command> &out) {
  struct Options {
    std::string file;
    Parameters params = kDefaultParameters;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("create", "Create an empty registry file");
  cmd->footer(
      "FILE must not exist. It starts one growth unit long and grows by whole\n"
      "units.\n"
      "Example:  nctool create --pages 4 reg.db");
  cmd->add_option("FILE", o->file, "Registry file to create")->required();
  addParameterOptions(cmd, o->params);
  out.push_back({cmd, [o] {
                   createRegistry(o->file, o->params);
                   return kExitOk;
                 }});
}

}  // namespace nctool
