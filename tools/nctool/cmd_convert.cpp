// convert: rewrites a registry for a machine of another byte order.
#include <sys/stat.h>

#include <CLI/CLI.hpp>

#include "byteorder.h"
#include "image.h"
#include "io.h"
#include "lib/system/nconfig_check.h"
#include "tool.h"

namespace nctool {

namespace {

int runConvert(const std::string &in, const std::string &out,
               const std::string &order) {
  const bool want_big = order == "host" ? hostIsBigEndian() : order == "big";
  Image image = loadImage(in);
  std::string bytes(image.bytes.begin(), image.bytes.end());
  const bool foreign = otherByteOrder(bytes.data(), bytes.size());
  const bool is_big = foreign != hostIsBigEndian();
  // The checker reads host order: check the input, or the result when the
  // input is foreign.
  if (!foreign) {
    nc_check_report r = nc_check_image(bytes.data(), bytes.size());
    if (!r.ok())
      throw Failure(in, "damaged (" + r.damage[0].what + "); run 'nctool salvage' on it");
  }
  if (is_big != want_big) {
    std::string why = swapByteOrder(bytes, is_big);
    if (!why.empty()) throw Failure(in, why);
  }
  if (foreign && want_big == hostIsBigEndian()) {
    nc_check_report r = nc_check_image(bytes.data(), bytes.size());
    if (!r.ok())
      throw Failure(in, "damaged (" + r.damage[0].what + "); run 'nctool salvage' on it");
  }
  struct stat st;
  if (::lstat(out.c_str(), &st) == 0) throw Failure(out, "exists already");
  writeOutput(out, bytes);
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
