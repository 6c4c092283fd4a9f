// Death tests in gtest's "threadsafe" style start the test binary afresh. In
// the cross build the kernel cannot run that binary itself, so the children's
// command line gets the emulator's command words (NC_EMULATOR) in front.
// On the host NC_EMULATOR is empty and nothing changes.
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

class EmulatedDeathTestChildren : public testing::Environment {
 public:
  // Runs after gtest has parsed the command line, before the first test.
  void SetUp() override {
    std::vector<std::string> argv;
    std::istringstream words(NC_EMULATOR);
    for (std::string word; words >> word;) argv.push_back(word);
    if (argv.empty()) return;
    for (const std::string &arg : testing::internal::GetArgvs()) argv.push_back(arg);
    testing::internal::SetInjectableArgvs(argv);
  }
};

const testing::Environment *const kEmulatedDeathTestChildren =
    testing::AddGlobalTestEnvironment(new EmulatedDeathTestChildren);

}  // namespace
