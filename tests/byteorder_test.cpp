// Registry files of either byte order opened on this machine: the same
// operations give the same registry, other processes' commits are seen, and
// a commit writes about what a native one writes. Each case runs for a file
// of this machine's order and one of the other. (A refused growth: the fault
// tests, for both orders too.)

#include "cross_replay.h"
#include "test_util.h"

namespace {

class EitherOrder : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { nc::resetSysCalls(); }
  void TearDown() override { nc::resetSysCalls(); }
  // A fresh registry at `name` in the order under test, holding `keys`.
  std::string make(const std::string &name, const std::vector<std::string> &keys = {}, unsigned pages = 1) {
    const std::string path = tmp_.file(name);
    EXPECT_EQ(makeRegistry(*std::make_unique<TestNConfig>(), path, pages), NC_ERR_OK);
    putInOrder(path, GetParam());
    NConfig h(0);
    EXPECT_TRUE(openAs(h, path, NC_O_RW));
    for (const std::string &k : keys) EXPECT_EQ(h.setKey(k.c_str(), k.c_str()), NC_ERR_OK);
    return path;
  }
  TempDir tmp_;
};

// Every kind of change, grouped in brackets and alone.
void changeEverything(NConfig &h) {
  h.lockFile(NC_L_RW, 0);
  EXPECT_EQ(std::vector<int>({h.setKey("/a/s", "string"), h.setKey("/a/i", -5), h.setKey("/a/u", 0x12345678u),
                              h.setKey("/a/ll", 0x0102030405060708ll), h.setKey("/a/d", 2.5),
                              h.setKey("/a/raw", "\1\2\3\4\5", 5), h.createDir("/b", 40)}),
            std::vector<int>(7, NC_ERR_OK));
  h.unLockFile();
  for (int i = 0; i < 30; i++) EXPECT_EQ(h.setKey(("/b/k" + std::to_string(i)).c_str(), i), NC_ERR_OK);
  EXPECT_EQ(h.setKey("/big", std::string(9000, 'z').c_str()), NC_ERR_OK);  // grows the file
  h.delKey("/b/k3"), h.delKey("/a/raw");
  EXPECT_EQ(h.renameKey("/a/s", "t"), NC_ERR_OK);
  EXPECT_EQ(h.setKey("/a/u", 7u), NC_ERR_OK);
}

// The image with the bytes inside free areas (past their header word) zeroed:
// what they hold is whatever the freed chunk held, in the order it had.
std::vector<unsigned char> withoutFreeBytes(std::vector<unsigned char> image) {
  nc_sb_s sb;
  memcpy(&sb, image.data(), sizeof sb);
  for (uint32_t i = 0; i < sb.chunk_ttl; i++) {
    nc_chunk_s c;
    memcpy(&c, image.data() + sb.chunk + 8 * i, sizeof c);
    if (c.size > 4 && uint64_t(c.offset) + c.size <= image.size())
      memset(image.data() + c.offset + 4, 0, c.size - 4);
  }
  return image;
}

TEST_P(EitherOrder, ChangesGiveTheRegistryANativeWriterWouldMake) {
  const std::string path = make("r"), native = tmp_.file("native");
  {
    TestNConfig h(0);
    ASSERT_EQ(makeRegistry(h, native), NC_ERR_OK);
    changeEverything(h);
  }
  {
    NConfig h(0);
    ASSERT_TRUE(openAs(h, path, NC_O_RW));
    changeEverything(h);
    EXPECT_EQ(valueOf(h, "/a/t"), "string");
  }
  EXPECT_EQ(otherOrder(readFile(path)), GetParam()) << "the file keeps its byte order";
  EXPECT_TRUE(nc_check_file(path.c_str()).ok()) << nc_check_file(path.c_str()).describe();
  putInOrder(path, false);
  EXPECT_EQ(withoutFreeBytes(readFile(path)), withoutFreeBytes(readFile(native)));
}

// Another process commits and grows the file: a plain handle's view moves,
// and so does a careful one's, which its own commits have split into several
// mappings (pages mapped back one by one, read-only beside pages made
// writable). Each handle runs in a child, so that a view the system will not
// move ends only that; its current directory is found again.
TEST_P(EitherOrder, AnotherProcessesCommitsAreSeenAtTheNextLock) {
  for (const int careful : {0, 1}) {
    const std::string path = make(careful ? "careful" : "plain", {}, 4);
    EXPECT_EQ(waitFor(spawn([&] {
                TestNConfig h(careful);
                bool ok = openAs(h, path, NC_O_RW) && h.createDir("/d/e", 4) == NC_ERR_OK;
                for (int j = 0; ok && j < 3; j++) ok = h.setKey(("/k" + std::to_string(j)).c_str(), j) == NC_ERR_OK;
                ok = ok && h.chDir("/d/e") == NC_ERR_OK && waitFor(spawn([&] {
                       NConfig o(0);
                       return openAs(o, path, NC_O_RW) && o.setKey("/d/e/k", "other") == NC_ERR_OK &&
                              o.setKey("/d/e/big", std::string(20000, 'b').c_str()) == NC_ERR_OK;
                     })) == 0;
                return ok && valueOf(h, "k") == "other" && valueOf(h, "big").size() == 20000u &&
                       h.cdir == h.find("/d/e");
              })),
              0)
        << (careful ? "careful" : "plain") << " handle";
  }
}

// Bytes handed to write calls while `h` sets one value.
uint64_t bytesWrittenBySetting(NConfig &h, const char *key, unsigned value) {
  static uint64_t written;
  static nc::SysCalls real;
  written = 0, real = nc::sys();
  nc::sys().pwrite = [](int fd, const void *b, size_t n, off_t off) { return written += n, real.pwrite(fd, b, n, off); };
  EXPECT_EQ(h.setKey(key, value), NC_ERR_OK);
  nc::resetSysCalls();
  return written;
}

TEST_P(EitherOrder, AOneValueCommitWritesAboutWhatANativeOneWrites) {
  const std::string path = make("r", {"/x/s", "/x/t"}), native = tmp_.file("native");
  TestNConfig n;
  ASSERT_EQ(makeRegistry(n, native), NC_ERR_OK);
  ASSERT_EQ(n.setKey("/x/a", 1u), NC_ERR_OK);
  NConfig h(0);
  ASSERT_TRUE(openAs(h, path, NC_O_RW));
  ASSERT_EQ(h.setKey("/x/a", 1u), NC_ERR_OK);
  const uint64_t here = bytesWrittenBySetting(h, "/x/a", 2), there = bytesWrittenBySetting(n, "/x/a", 2);
  EXPECT_TRUE(here > 0 && here <= 2 * there) << here << " bytes against " << there;
}

// Runs the journal_cross helper built for the other machine (this build's
// when none is named, through the emulator in a cross build); its status.
int otherMachine(const char *step, const std::string &path, bool big) {
  const Program::Outcome r = Program(JOURNAL_CROSS_OTHER, {step, path, big ? "big" : "little"}, ".", "",
                                     JOURNAL_CROSS_OTHER_EMULATED).finish();
  fputs(r.err.c_str(), stderr);
  return r.status;
}

// A writer killed between its journal record and the registry, on this
// machine or on the other, is recovered on the other, for files of both
// byte orders.
TEST(CrossMachine, ACommitCutShortOnEitherMachineIsReplayedOnTheOther) {
  TempDir tmp;
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian file" : "little-endian file");
    const std::string here = tmp.file(big ? "here-big" : "here-little");
    const std::string there = tmp.file(big ? "there-big" : "there-little");
    ASSERT_EQ(waitFor(spawn([&]() -> bool { cross::crashMidCommit(here, big); })), 0);
    EXPECT_EQ(otherMachine("verify", here, big), 0);
    ASSERT_EQ(otherMachine("crash", there, big), 0);
    EXPECT_EQ(cross::replayed(there, big), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, EitherOrder, ::testing::Bool(), orderName);

}  // namespace
