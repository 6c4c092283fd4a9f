// The journal where other users, old files and damage reach it: what it is
// safe to read, whose it is when made, which file its records are for, and
// what recovery does with a damaged one. The other user is uid and gid 65534
// in a forked child.
#include <grp.h>
#include <sys/mman.h>

#include <functional>

#include "lib/system/nconfig/internal.h"
#include "lib/system/nconfig/journal.h"
#include "test_util.h"

namespace {

constexpr uid_t kOther = 65534;  // another user, and a group of which it is a member

// Leaves at `path` a registry holding /base, and a journal of `count`
// records (each sets /k<i> to "v<i>") that the file lacks: the file is put
// back as it was before them, on the same inode, as a writer that died
// before its in-place writes would leave it.
void leaveRecords(const std::string &path, int count) {
  unlink(path.c_str());
  {
    TestNConfig h;
    ASSERT_EQ(makeRegistry(h, path), NC_ERR_OK);
    ASSERT_EQ(h.setKey("/base", "b"), NC_ERR_OK);
  }
  const auto before = readFile(path);
  TestNConfig h;
  ASSERT_TRUE(openAs(h, path, NC_O_RW));
  for (int i = 0; i < count; i++) {
    const std::string k = "/k" + std::to_string(i), v = "v" + std::to_string(i);
    ASSERT_EQ(h.setKey(k.c_str(), v.c_str()), NC_ERR_OK);
  }
  const auto journal = readFile(path + "-journal");
  h.close();
  writeFile(path, before);
  writeFile(path + "-journal", journal);
}

// The values of /k0, /k1, /k2 as a fresh handle of `mode` sees them, joined.
std::string seen(const std::string &path, int mode) {
  NConfig h(0);
  if (!openAs(h, path, mode)) return "cannot open";
  return valueOf(h, "/k0") + "," + valueOf(h, "/k1") + "," + valueOf(h, "/k2");
}
const std::string kNone = "(absent),(absent),(absent)";
const std::string kAll = "v0,v1,v2";

// Runs `body` as uid and gid 65534 in a child, with a minute to finish: a
// hang is a failure, not a stuck suite.
bool asOther(const std::function<bool()> &body) {
  return waitFor(spawn([&] {
           alarm(60);
           return setgroups(0, nullptr) == 0 && setresgid(kOther, kOther, kOther) == 0 &&
                  setresuid(kOther, kOther, kOther) == 0 && body();
         })) == 0;
}

struct Snapshot {
  struct stat st;
  std::vector<unsigned char> bytes;
  bool operator==(const Snapshot &o) const {
    return st.st_ino == o.st.st_ino && st.st_mode == o.st.st_mode && st.st_uid == o.st.st_uid &&
           st.st_gid == o.st.st_gid && bytes == o.bytes;
  }
};
Snapshot snapshot(const std::string &path) {
  Snapshot s = {};
  lstat(path.c_str(), &s.st);
  if (S_ISREG(s.st.st_mode)) s.bytes = readFile(path);
  return s;
}

TEST(JournalSafety, AJournalMoreOpenThanItsRegistryIsNeverReadWrittenOrChanged) {
  const struct {
    const char *what;
    mode_t registry_mode;
    std::function<void(const std::string &journal)> plant;
    bool safe;
  } rows[] = {
      {"a symbolic link", 0600, [](const std::string &j) {
         rename(j.c_str(), (j + ".real").c_str()), symlink((j + ".real").c_str(), j.c_str()); }, false},
      {"a hard link", 0600, [](const std::string &j) { link(j.c_str(), (j + ".other").c_str()); }, false},
      {"a FIFO", 0600, [](const std::string &j) { unlink(j.c_str()), mkfifo(j.c_str(), 0600); }, false},
      {"a directory", 0600, [](const std::string &j) { unlink(j.c_str()), mkdir(j.c_str(), 0700); }, false},
      {"wider than the registry", 0644, [](const std::string &j) { chmod(j.c_str(), 0666); }, false},
      {"another user's", 0600, [](const std::string &j) { chown(j.c_str(), kOther, 0); }, false},
      {"another group's", 0660, [](const std::string &j) { chown(j.c_str(), 0, 100); }, false},
      {"a group member's", 0660, [](const std::string &j) { chown(j.c_str(), kOther, kOther); }, true},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string path = dir.file("r"), journal = path + "-journal";
    leaveRecords(path, 3);
    chmod(path.c_str(), row.registry_mode);
    chown(path.c_str(), 0, row.registry_mode & S_IWGRP ? kOther : 0);
    chmod(journal.c_str(), row.registry_mode);
    row.plant(journal);
    const Snapshot planted = snapshot(journal), registry = snapshot(path);
    // A reader never waits on it and never shows its records.
    testing::internal::CaptureStderr();
    EXPECT_TRUE(waitFor(spawn([&] { alarm(20); return seen(path, NC_O_RO) == (row.safe ? kAll : kNone); })) == 0);
    if (row.safe) {
      EXPECT_EQ(seen(path, NC_O_RW), kAll);  // replayed
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
      continue;
    }
    // A writer commits nothing, and says why in one line.
    NConfig h(0);
    ASSERT_TRUE(openAs(h, path, NC_O_RW));
    EXPECT_EQ(h.setKey("/k0", "changed"), NC_ERR_PERM);
    h.close();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(journal + ": not using journal: "), std::string::npos) << err;
    EXPECT_EQ(snapshot(journal), planted);
    EXPECT_EQ(snapshot(path), registry);
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
  static nc::SysCalls real;
  real = nc::sys();
  nc::sys().open = [](const char *path, int flags, mode_t mode) {
    if (journal == path && (flags & O_CREAT)) {
      const int planted = real.open(path, O_WRONLY | O_CREAT, 0600);
      fchown(planted, kOther, kOther), close(planted);
    }
    return real.open(path, flags, mode);
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(h.setKey("/k", "v"), NC_ERR_PERM);
  testing::internal::GetCapturedStderr();
  nc::resetSysCalls();
  struct stat st;
  ASSERT_EQ(stat(journal.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kOther);
  EXPECT_EQ(st.st_size, 0);
}

// A registry shared with a group: the journal takes the registry's group and
// mode, so a member commits through it and replays what root's writer left.
TEST(JournalSafety, AGroupSharedRegistrysJournalServesEveryMember) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string path = dir.file("r"), journal = path + "-journal";
  leaveRecords(path, 3);
  unlink(journal.c_str());
  chmod(path.c_str(), 0660);
  chown(path.c_str(), 0, kOther);
  {
    NConfig root(0);
    ASSERT_TRUE(openAs(root, path, NC_O_RW));
    ASSERT_EQ(root.setKey("/k0", "v0"), NC_ERR_OK);  // the journal is made here
  }
  struct stat st;
  ASSERT_EQ(stat(journal.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, kOther);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  // A member commits through that journal, silently.
  testing::internal::CaptureStderr();
  EXPECT_TRUE(asOther([&] {
    NConfig h(0);
    return openAs(h, path, NC_O_RW) && h.setKey("/k1", "v1") == NC_ERR_OK;
  }));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  // Root's writer dies before its in-place writes: a member reads, then
  // replays, the committed state.
  leaveRecords(path, 3);
  chmod(path.c_str(), 0660), chown(path.c_str(), 0, kOther);
  chmod(journal.c_str(), 0660), chown(journal.c_str(), 0, kOther);
  EXPECT_TRUE(asOther([&] { return seen(path, NC_O_RO) == kAll && seen(path, NC_O_RW) == kAll; }));
  EXPECT_EQ(seen(path, NC_O_RO), kAll);
  // A journal the member cannot write (as an older root-made one) keeps it
  // from committing at all, rather than committing around its records.
  leaveRecords(path, 3);
  chmod(path.c_str(), 0660), chown(path.c_str(), 0, kOther);
  chmod(journal.c_str(), 0640), chown(journal.c_str(), 0, kOther);
  EXPECT_TRUE(asOther([&] {
    NConfig h(0);
    return seen(path, NC_O_RO) == kAll && openAs(h, path, NC_O_RW) &&
           h.setKey("/k2", "mine") == NC_ERR_PERM;
  }));
  EXPECT_EQ(seen(path, NC_O_RW), kAll);
  EXPECT_TRUE(nc_check_file(path.c_str()).ok());
}

// Records are replayed only into the file they were written for: not into a
// copy at another path, and not into a file made again at the same path.
TEST(JournalSafety, RecordsReachOnlyTheFileTheyWereWrittenFor) {
  TempDir dir;
  const std::string path = dir.file("r"), copy = dir.file("copy");
  leaveRecords(path, 3);
  writeFile(copy, readFile(path));
  writeFile(copy + "-journal", readFile(path + "-journal"));
  chmod(copy.c_str(), 0600), chmod((copy + "-journal").c_str(), 0600);
  EXPECT_EQ(seen(copy, NC_O_RO), kNone);
  EXPECT_EQ(seen(copy, NC_O_RW), kNone);
  {
    NConfig h(0);  // the next commit restarts it for this file
    ASSERT_TRUE(openAs(h, copy, NC_O_RW));
    EXPECT_EQ(h.setKey("/k2", "mine"), NC_ERR_OK);
  }
  EXPECT_EQ(seen(copy, NC_O_RO), "(absent),(absent),mine");
  EXPECT_EQ(seen(path, NC_O_RO), kAll);  // the journal's own file still gets them
  // Made again at the same path, even on the same inode: nothing replayed.
  leaveRecords(path, 3);
  unlink(path.c_str());
  TestNConfig fresh;
  ASSERT_EQ(makeRegistry(fresh, path), NC_ERR_OK);
  fresh.close();
  EXPECT_EQ(seen(path, NC_O_RW), kNone);
}

// Damage inside the journal never rolls the file back or forward in part:
// all of a generation's records are replayed, or none.
TEST(JournalDamage, NothingIsReplayedFromADamagedJournal) {
  // Offsets of the records of a journal with three.
  auto records = [](const std::vector<unsigned char> &j) {
    std::vector<size_t> at{nc::kJournalRecords};
    for (int i = 0; i < 2; i++) {
      nc::RecordHead rh;
      memcpy(&rh, &j[at.back()], sizeof rh);
      at.push_back(at.back() + rh.bytes);
    }
    return at;
  };
  auto reseal = [](std::vector<unsigned char> &j, size_t at) {  // a valid checksum again
    nc::RecordHead rh;
    memcpy(&rh, &j[at], sizeof rh);
    rh.sum = 0;
    memcpy(&j[at], &rh, sizeof rh);
    rh.sum = nc::crc32(0, &j[at], rh.bytes);
    memcpy(&j[at], &rh, sizeof rh);
  };
  const struct {
    const char *what;
    std::function<void(std::vector<unsigned char> &j, const std::vector<size_t> &at)> damage;
    bool file_damaged;  // the registry is damaged too
    const char *kept;   // what a reader then sees
    const char *said;   // on standard error, after "<journal>: "
  } rows[] = {
      {"a torn last record", [](auto &j, auto &at) { j.resize(at[2] + 20); }, false, "v0,v1,(absent)", ""},
      {"a flipped byte in record 2 of 3", [](auto &j, auto &at) { j[at[1] + 40] ^= 1; }, false,
       kNone.c_str(), "damaged (record 2 is damaged and a later one is whole); replayed nothing"},
      {"a damaged head", [](auto &j, auto &) { j[16] ^= 0x80; }, false, kNone.c_str(),  // its inode
       "damaged (its head is damaged); replayed nothing"},
      {"a whole record that writes over the superblock",
       [&](auto &j, auto &at) {  // its first range now lands at offset 0
         memset(&j[at[0] + 32], 0, 4);
         reseal(j, at[0]);
       },
       false, kNone.c_str(), "damaged (its records do not give a sound registry); replayed nothing"},
      {"a flipped byte beside a damaged file", [](auto &j, auto &at) { j[at[1] + 40] ^= 1; }, true,
       "cannot open", "damaged (record 2 is damaged and a later one is whole); replayed nothing"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string path = dir.file("r"), journal = path + "-journal";
    leaveRecords(path, 3);
    auto j = readFile(journal);
    row.damage(j, records(j));
    writeFile(journal, j);
    if (row.file_damaged) {  // a root entry that is no directory
      auto file = readFile(path);
      file[36 + 4] ^= 0x40;
      writeFile(path, file);
    }
    const Snapshot registry = snapshot(path), damaged = snapshot(journal);
    testing::internal::CaptureStderr();
    EXPECT_EQ(seen(path, NC_O_RO), row.kept);  // a reader changes nothing
    EXPECT_EQ(snapshot(journal), damaged);
    EXPECT_EQ(snapshot(path), registry);
    EXPECT_EQ(seen(path, NC_O_RW), row.kept);
    const std::string err = testing::internal::GetCapturedStderr();
    if (!*row.said) {
      EXPECT_EQ(err, "");
      continue;
    }
    EXPECT_NE(err.find(journal + ": " + row.said), std::string::npos) << err;
    if (row.file_damaged) {  // both left for salvage
      EXPECT_EQ(snapshot(journal), damaged);
      EXPECT_EQ(snapshot(path), registry);
      continue;
    }
    // Set aside for inspection; the next commit makes a new journal.
    EXPECT_EQ(readFile(journal + ".damaged"), damaged.bytes);
    NConfig h(0);
    ASSERT_TRUE(openAs(h, path, NC_O_RW));
    EXPECT_EQ(h.setKey("/k0", "after"), NC_ERR_OK);
    h.close();
    EXPECT_EQ(seen(path, NC_O_RO), "after,(absent),(absent)");
    EXPECT_TRUE(nc_check_file(path.c_str()).ok());
  }
}

}  // namespace
