// Whole files and standard streams read and written for the commands, with
// errors that name the file and the system's cause.
#ifndef TOOLS_NCTOOL_IO_H
#define TOOLS_NCTOOL_IO_H

#include <string>

namespace nctool {

// The name messages use for `input`: "standard input" for "-".
std::string sourceName(const std::string &input);

// All bytes of `input` ("-": standard input). Throws Failure (kExitTrouble)
// when it cannot be read.
std::string readInput(const std::string &input);

// Writes `text` to `output` ("-": standard output), replacing it. Throws
// Failure (kExitTrouble) with the system's cause, e.g. a full disk.
void writeOutput(const std::string &output, const std::string &text);

}  // namespace nctool

#endif  // TOOLS_NCTOOL_IO_H
