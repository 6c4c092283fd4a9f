// convert: rewrites a registry for a machine of another byte order.
#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include "copy_result.h"
#include "lib/system/nconfig_tool.h"
#include "registry.h"
#include "tool.h"

namespace nctool {

namespace {

int runConvert(const std::string &in, const std::string &out,
               const std::string &order) {
  const int want = order == "host"  ? nc_host_order()
                   : order == "big" ? NC_ORDER_BIG
                                    : NC_ORDER_LITTLE;
  requireFile(in, NC_O_RO);
  struct stat st;
  if (::lstat(out.c_str(), &st) == 0) throw Failure(out, "exists already");
  std::string why;
  copyResult(nc_convert(in.c_str(), out.c_str(), want, &why), in, out, why);
  return kExitOk;
}

}  // namespace

void addConvertCommand(CLI::App &app, std::vector<Command> &out) {
  struct Options {
    std::string in, out, order;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand("convert", "Rewrite a registry in another byte order");
  cmd->footer(
      "Writes DEST, which must not exist: the registry IN in the byte order\n"
      "asked for. Every value stays exactly as it is: integers and doubles are\n"
      "swapped by their stored width, strings and raw values are untouched.\n"
      "Every other command reads and edits files of either byte order\n"
      "directly, and writes a file back in the order it has.\n"
      "Example:  nctool convert --byte-order big reg.db receiver.db");
  cmd->add_option("--byte-order", o->order, "big, little or host")
      ->required()
      ->check(CLI::IsMember({"big", "little", "host"}));
  cmd->add_option("IN", o->in, "Registry file to read")->required();
  cmd->add_option("DEST", o->out, "New registry file to write")->required();
  out.push_back({cmd, [o] { return runConvert(o->in, o->out, o->order); }});
}

}  // namespace nctool
