// The journal where other users, old files and damage reach it: what it is
// safe to read, whose it is when made, which file its records are for, and
// what recovery does with a damaged one. The other user is uid and gid 65534
// in a forked child.
#include <grp.h>

#include "test_util.h"

namespace {

constexpr uid_t kOther = 65534;  // another user, and a group of which it is a member

// Runs `body` as uid and gid 65534 in a child, with a minute to finish: a
// hang is a failure, not a stuck suite.
bool asOther(const std::function<bool()> &body) {
  return waitFor(spawn([&] {
           return alarm(60), setgroups(0, nullptr) == 0 && setresgid(kOther, kOther, kOther) == 0 &&
                                 setresuid(kOther, kOther, kOther) == 0 && body();
         })) == 0;
}

// What is at `path`: inode, mode, owner, group, and the bytes of a regular file.
auto snapshot(const std::string &path) {
  struct stat st = {};
  lstat(path.c_str(), &st);
  return std::tuple(st.st_ino, st.st_mode, st.st_uid, st.st_gid,
                    S_ISREG(st.st_mode) ? readFile(path) : std::vector<unsigned char>());
}

// Whether a fresh writer's setting of `key` answers `result`.
bool setsKey(const std::string &path, const char *key, const char *value, int result = NC_ERR_OK) {
  NConfig h(0);
  return openAs(h, path, NC_O_RW) && h.setKey(key, value) == result;
}

TEST(JournalSafety, AJournalMoreOpenThanItsRegistryIsNeverReadWrittenOrChanged) {
  const std::tuple<const char *, mode_t, void (*)(const std::string &), bool> rows[] = {  // safe: replayed
      {"a symbolic link", 0600,
       [](auto &j) { rename(j.c_str(), (j + "2").c_str()), symlink("r-journal2", j.c_str()); }, false},
      {"a hard link", 0600, [](auto &j) { link(j.c_str(), (j + ".other").c_str()); }, false},
      {"a FIFO", 0600, [](auto &j) { unlink(j.c_str()), mkfifo(j.c_str(), 0600); }, false},
      {"a directory", 0600, [](auto &j) { unlink(j.c_str()), mkdir(j.c_str(), 0700); }, false},
      {"wider than the registry", 0644, [](auto &j) { chmod(j.c_str(), 0666); }, false},
      {"another user's", 0600, [](auto &j) { chown(j.c_str(), kOther, 0); }, false},
      {"another group's", 0660, [](auto &j) { chown(j.c_str(), 0, 100); }, false},
      {"a group member's", 0660, [](auto &j) { chown(j.c_str(), kOther, kOther); }, true},
  };
  for (const auto &[what, registry_mode, plant, safe] : rows) {
    SCOPED_TRACE(what);
    TempDir dir;
    const std::string path = dir.file("r"), journal = path + "-journal";
    leaveRecords(path);
    chmod(path.c_str(), registry_mode), chmod(journal.c_str(), registry_mode);
    chown(path.c_str(), 0, registry_mode & S_IWGRP ? kOther : 0);
    plant(journal);
    const auto planted = snapshot(journal), registry = snapshot(path);
    // A reader never waits on it and never shows its records; a writer
    // replays a safe one, and commits nothing beside another, saying why.
    testing::internal::CaptureStderr();
    EXPECT_EQ(waitFor(spawn([&] { return alarm(20), seen(path, NC_O_RO) == (safe ? kAll : kNone); })), 0);
    EXPECT_TRUE(safe ? seen(path, NC_O_RW) == kAll : setsKey(path, "/k0", "changed", NC_ERR_PERM));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(safe ? err.empty() : err.find(journal + ": not using journal: ") != err.npos) << err;
    EXPECT_TRUE(safe || std::tie(planted, registry) == std::tuple(snapshot(journal), snapshot(path)));
  }
}

// Another user plants a file at the journal's path just as the journal is
// made: it is refused, never taken over.
TEST(JournalSafety, AFilePlantedWhileTheJournalIsMadeIsRefused) {
  TempDir dir;
  static std::string journal;
  journal = dir.file("r-journal");
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, dir.file("r")), NC_ERR_OK);
  nc::sys().open = [](const char *path, int flags, mode_t mode) {
    if (journal == path && (flags & O_CREAT)) close(creat(path, 0600)), chown(path, kOther, kOther);
    return ::open(path, flags, mode);
  };
  EXPECT_EQ(h.setKey("/k", "v"), NC_ERR_PERM);
  nc::resetSysCalls();
  const auto [ino, mode, uid, gid, bytes] = snapshot(journal);
  EXPECT_EQ(std::tuple(uid, bytes.size()), std::tuple(kOther, size_t(0)));
}

// A registry shared with a group: the journal takes the registry's group and
// mode, so a member commits through it and replays what root's writer left.
// One the member cannot write (as an older root-made one) keeps it from
// committing at all, rather than committing around its records.
TEST(JournalSafety, AGroupSharedRegistrysJournalServesEveryMember) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string path = dir.file("r"), journal = path + "-journal";
  auto share = [](const std::string &f, mode_t mode) { chmod(f.c_str(), mode), chown(f.c_str(), 0, kOther); };
  ASSERT_EQ(makeRegistry(path), NC_ERR_OK);
  share(path, 0660);
  ASSERT_TRUE(setsKey(path, "/k0", "v0"));  // root's writer makes the journal
  const auto [ino, mode, uid, gid, bytes] = snapshot(journal);
  EXPECT_EQ(std::tuple(mode & 07777, uid, gid), std::tuple(0660u, 0u, kOther));
  EXPECT_TRUE(asOther([&] { return setsKey(path, "/k1", "v1"); }));
  leaveRecords(path);
  share(path, 0660), share(journal, 0640);
  EXPECT_TRUE(asOther([&] { return seen(path, NC_O_RO) == kAll && setsKey(path, "/k2", "x", NC_ERR_PERM); }));
  chmod(journal.c_str(), 0660);
  EXPECT_TRUE(asOther([&] { return seen(path, NC_O_RW) == kAll; }));
}

// Records are replayed only into the file they were written for: not into a
// copy at another path, and not into a file made again at the same path.
TEST(JournalSafety, RecordsReachOnlyTheFileTheyWereWrittenFor) {
  TempDir dir;
  const std::string path = dir.file("r"), copy = dir.file("copy");
  leaveRecords(path);
  writeFile(copy, readFile(path)), writeFile(copy + "-journal", readFile(path + "-journal"));
  EXPECT_EQ(seen(copy, NC_O_RO), kNone);
  EXPECT_TRUE(setsKey(copy, "/k2", "mine"));  // the journal restarts for this file
  EXPECT_EQ(seen(copy, NC_O_RO), "(absent),(absent),mine");
  leaveRecords(path);  // made again at the same path, even on the same inode
  unlink(path.c_str());
  ASSERT_EQ(makeRegistry(path), NC_ERR_OK);
  EXPECT_EQ(seen(path, NC_O_RW), kNone);
}

// Damage inside the journal never rolls the file back or forward in part:
// all of a generation's records are replayed, or none. A damaged journal is
// set aside, or left with a damaged file for salvage.
TEST(JournalDamage, NothingIsReplayedFromADamagedJournal) {
  using Bytes = std::vector<unsigned char>;
  auto flip = [](Bytes &j, const uint32_t *at) { j[at[1] + 40] ^= 1; };  // in record 2
  const char *const kFlipped = "record 2 is damaged and a later one is whole";
  // What, the damage given the offsets of the three records, whether the
  // registry is damaged too, what a reader then sees, and why on standard
  // error: "<journal>: damaged (<why>); replayed nothing".
  using Damage = void (*)(Bytes &, const uint32_t *);
  const std::tuple<const char *, Damage, bool, const char *, const char *> rows[] = {
      {"a torn last record", [](Bytes &j, const uint32_t *at) { j.resize(at[2] + 20); }, false,
       "v0,v1,(absent)", nullptr},
      {"a flipped byte in record 2 of 3", flip, false, kNone.c_str(), kFlipped},
      {"a damaged head", [](Bytes &j, const uint32_t *) { j[16] ^= 0x80; }, false,  // its inode
       kNone.c_str(), "its head is damaged"},
      {"a whole record that writes over the superblock",
       [](Bytes &j, const uint32_t *at) {  // its first range lands at offset 0, under a valid checksum
         const size_t sum = at[0] + offsetof(nc::RecordHead, sum);
         memset(&j[at[0] + 32], 0, 4), memset(&j[sum], 0, 4);
         const uint32_t crc = nc::crc32(0, &j[at[0]], at[1] - at[0]);
         memcpy(&j[sum], &crc, 4);
       },
       false, kNone.c_str(), "its records do not give a sound registry"},
      {"a flipped byte beside a damaged file", flip, true, "cannot open", kFlipped},
  };
  for (const auto &[what, damage, file_damaged, kept, why] : rows) {
    SCOPED_TRACE(what);
    TempDir dir;
    const std::string path = dir.file("r"), journal = path + "-journal";
    leaveRecords(path);
    auto j = readFile(journal);
    uint32_t at[3] = {nc::kJournalRecords};  // each record's size is in its head
    for (int i = 1; i < 3; i++)
      memcpy(&at[i], &j[at[i - 1] + offsetof(nc::RecordHead, bytes)], 4), at[i] += at[i - 1];
    damage(j, at);
    writeFile(journal, j);
    auto file = readFile(path);
    file[36 + 4] ^= file_damaged ? 0x40 : 0;  // a root entry that is no directory
    writeFile(path, file);
    const auto registry = snapshot(path), damaged = snapshot(journal);
    testing::internal::CaptureStderr();
    EXPECT_EQ(seen(path, NC_O_RO), kept);  // a reader changes nothing
    EXPECT_EQ(std::tie(damaged, registry), std::tuple(snapshot(journal), snapshot(path)));
    EXPECT_EQ(seen(path, NC_O_RW), kept);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(why ? err.find(journal + ": damaged (" + why + "); replayed nothing") != err.npos
                        : err.empty()) << err;
    if (!why) continue;
    EXPECT_EQ(snapshot(path), registry);  // nothing replayed
    EXPECT_EQ(readFile(file_damaged ? journal : journal + ".damaged"), j);  // kept for salvage, or set aside
    if (file_damaged) continue;
    EXPECT_TRUE(setsKey(path, "/k0", "after"));  // the next commit makes a new journal
    EXPECT_EQ(seen(path, NC_O_RO), "after,(absent),(absent)");
  }
}

nc::SysCalls g_real;  // for faults that pass most calls through

// Calls that reach the system only through the seam: each is failed here,
// and the handle answers an error (or, where the call only tidies up, goes
// on without it) while neither file is damaged.
TEST(JournalSafety, FailedCallsOfTheSeamAreResults) {
  using Files = void (*)(const std::string &);
  using Act = int (*)(const std::string &);
  auto setK0 = [](const std::string &path) {
    NConfig h(0);
    return openAs(h, path, NC_O_RW) ? h.setKey("/k0", "changed") : -100;
  };
  const std::tuple<const char *, Files, void (*)(), Act, int, const char *, std::string> rows[] = {
      // what, files, fault, act, its answer, on standard error, then seen
      {"setting a damaged journal aside",
       [](auto &path) {
         leaveRecords(path);
         auto j = readFile(path + "-journal");
         j[nc::kJournalRecords + 40] ^= 1;  // record 1 fails, 2 and 3 are whole
         writeFile(path + "-journal", j);
       },
       [] { nc::sys().rename = [](const char *, const char *) { return errno = EIO, -1; }; },
       setK0, NC_ERR_PERM, "cannot set it aside: Input/output error", kNone},
      {"mapping the journal", leaveRecords,
       [] { nc::sys().mmap_shared = [](size_t, int, int) -> void * { return errno = ENOMEM, MAP_FAILED; }; },
       setK0, NC_ERR_PERM, "not using journal: cannot map it: Cannot allocate memory", kAll},
      {"copying the file for the overlay", leaveRecords,
       [] {
         nc::sys().mmap = [](size_t n, int prot, int fd) {
           return fd < 0 ? (errno = ENOMEM, MAP_FAILED) : g_real.mmap(n, prot, fd); };
       },
       [](auto &path) { NConfig h(0); char *v = nullptr; return openAs(h, path, NC_O_RO) ? h.getKey("/k0", v) : -100; },
       NC_ERR_NMEM, "", kAll},
      {"giving a new journal its mode",
       [](auto &path) { ASSERT_EQ(makeRegistry(path), NC_ERR_OK); },
       [] { nc::sys().fchmod = [](int, mode_t) { return errno = EPERM, -1; }; },
       setK0, NC_ERR_PERM, "cannot create journal", kNone},
      {"removing an earlier file's journal", [](auto &path) { leaveRecords(path), unlink(path.c_str()); },
       [] { nc::sys().unlink = [](const char *) { return errno = EACCES, -1; }; },
       [](auto &path) { return makeRegistry(path); }, NC_ERR_OK, "", kNone},
  };
  g_real = nc::sys();
  for (const auto &[what, files, fault, act, answer, said, after] : rows) {
    SCOPED_TRACE(what);
    TempDir dir;
    const std::string path = dir.file("r"), journal = path + "-journal";
    files(path);
    const auto registry = snapshot(path), planted = snapshot(journal);
    testing::internal::CaptureStderr();
    fault();
    EXPECT_EQ(act(path), answer);
    nc::resetSysCalls();
    EXPECT_EQ(snapshot(journal), planted);
    EXPECT_TRUE(answer == NC_ERR_OK || snapshot(path) == registry);
    EXPECT_TRUE(nc_check_file(path.c_str()).ok());
    EXPECT_EQ(seen(path, NC_O_RO), after);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(said), err.npos) << err;
  }
}

}  // namespace
