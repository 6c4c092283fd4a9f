// Deletion, renaming and the allocator's statistics, at the level of the
// file image.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "test_util.h"

namespace {

using Names = std::vector<std::string>;

class Delete : public ::testing::Test {
 protected:
  void open(TestNConfig &t, const char *file, unsigned dirent = 4, unsigned mchunks = 64) {
    ASSERT_EQ(makeRegistry(t, dir.file(file), 1, dirent, mchunks), NC_ERR_OK);
  }
  // Offsets held by the slots of directory `path`.
  std::vector<uint32_t> slots(const char *path) {
    nc_de_s *d = h.find(path);
    const uint32_t *s = reinterpret_cast<uint32_t *>(h.data + d->offset);
    return std::vector<uint32_t>(s, s + d->pages);
  }
  uint32_t header(uint32_t data_off) { return h.word(data_off - 4); }
  // True when one free-chunk record covers the whole chunk at `data_off`.
  bool isFree(uint32_t data_off) {
    const uint32_t start = data_off - 4, end = start + header(data_off);
    for (uint32_t i = 0; i < h.sb->chunk_ttl; i++)
      if (h.chunks[i].size && start >= h.chunks[i].offset &&
          end <= h.chunks[i].offset + h.chunks[i].size)
        return true;
    return false;
  }
  uint32_t freeBytes() {
    uint32_t sum = 0;
    for (uint32_t s : h.tableSizes()) sum += s;
    return sum;
  }
  uint32_t off(const char *path) { return h.offsetOf(h.find(path)); }
  // A directory /d whose slots hold z, m, a and one free entry.
  void zma(const char *d) {
    ASSERT_EQ(h.createDir(d, 0), NC_ERR_OK);
    for (const char *n : {"m", "z", "a"})
      ASSERT_EQ(h.setKey((std::string(d) + "/" + n).c_str(), n), NC_ERR_OK);
  }
  TempDir dir;
  TestNConfig h;
};

TEST_F(Delete, KeyLeavesItsZeroedEntryInTheLastSlot) {
  open(h, "r");
  zma("/d");
  const auto before = slots("/d");
  nc_de_s *m = h.find("/d/m");
  const uint32_t name = m->name, value = m->offset, mod = h.sb->modtime;
  const uint32_t released = header(name) + header(value), was_free = freeBytes();
  h.delKey("/d/m");
  EXPECT_EQ(slots("/d"), (std::vector<uint32_t>{before[0], before[2], before[3], before[1]}));
  EXPECT_EQ(h.slotNames("/d"), (Names{"z", "a", "", ""}));
  const nc_de_s zero = {};
  EXPECT_EQ(memcmp(h.entryAt(before[1]), &zero, sizeof zero), 0);
  EXPECT_TRUE(isFree(name));
  EXPECT_TRUE(isFree(value));
  EXPECT_EQ(freeBytes(), was_free + released);
  EXPECT_EQ(h.sb->modtime, mod + 1);
  // The free slot is recycled without the array growing.
  const uint32_t array = h.find("/d")->offset;
  ASSERT_EQ(h.setKey("/d/b", 1), NC_ERR_OK);
  EXPECT_EQ(h.find("/d")->offset, array);
  EXPECT_EQ(h.slotNames("/d"), (Names{"z", "b", "a", ""}));
}

TEST_F(Delete, DirectoryGoesDepthFirstInSlotOrder) {
  // The same tree in two files: one deletes /x, the other replays the
  // expected releases by hand. The images must match byte for byte.
  TestNConfig twin;
  open(h, "r");
  open(twin, "t");
  for (TestNConfig *t : {&h, &twin}) {
    for (const char *k : {"/x/p", "/x/q", "/x/r", "/x/s/t1", "/x/s/t2"})
      ASSERT_EQ(t->setKey(k, k), NC_ERR_OK);
    ASSERT_EQ(t->setKey("/y", 1), NC_ERR_OK);
  }
  ASSERT_EQ(h.image(), twin.image());
  const uint32_t mod = h.sb->modtime, x = off("/x");
  h.delKey("/x");
  EXPECT_EQ(h.sb->modtime, mod + 7);
  EXPECT_EQ(h.slotNames("/"), (Names{"y", "", "", ""}));
  EXPECT_EQ(slots("/")[3], x);

  std::vector<uint32_t> order;
  for (const char *p : {"/x/s/t2", "/x/s/t1", "/x/s", "/x/r", "/x/q", "/x/p", "/x"})
    order.push_back(twin.offsetOf(twin.find(p)));
  for (const uint32_t e : order) {
    twin.sb->modtime++;
    twin.freeChunk(twin.entryAt(e)->offset);
    twin.freeChunk(twin.entryAt(e)->name);
    memset(twin.entryAt(e), 0, sizeof(nc_de_s));
  }
  uint32_t *root = reinterpret_cast<uint32_t *>(twin.data + twin.rdir->offset);
  ASSERT_EQ(root[1], x);
  std::rotate(root + 1, root + 2, root + twin.rdir->pages);  // x's slot goes last
  EXPECT_EQ(h.image(), twin.image());
}

TEST_F(Delete, KeysWithoutValuesReleaseOnlyTheirName) {
  open(h, "r");
  ASSERT_EQ(h.setKey("/raw", nullptr, 0), NC_ERR_OK);
  ASSERT_EQ(h.createDir("/bare", 0), NC_ERR_OK);
  for (const char *p : {"/raw", "/bare"}) {
    const uint32_t name = h.find(p)->name, was_free = freeBytes();
    h.delKey(p);
    EXPECT_EQ(h.find(p), nullptr);
    EXPECT_TRUE(isFree(name));
    EXPECT_EQ(freeBytes(), was_free + header(name)) << p;
  }
}

TEST_F(Delete, NothingToDeleteChangesNothing) {
  open(h, "r");
  ASSERT_EQ(h.setKey("/a/b", 1), NC_ERR_OK);
  ASSERT_EQ(h.chDir("/a"), NC_ERR_OK);
  const auto image = h.image();
  for (const char *p : {"/", ".", "", "/a", "..", "missing", "/a/b/c", "/zz/b"}) {
    h.delKey(p);
    EXPECT_EQ(h.image(), image) << p;
  }
  h.delKey(nullptr);
  EXPECT_EQ(h.image(), image);
  // Deleting the directory above the current one or the current one itself
  // is refused, and the handle stays where it was.
  ASSERT_EQ(h.chDir("/a/c"), NC_ERR_NEXIST);
  ASSERT_EQ(h.createDir("c", 2), NC_ERR_OK);
  ASSERT_EQ(h.chDir("c"), NC_ERR_OK);
  const auto deeper = h.image();
  for (const char *p : {"/a", "/a/c", "..", "../../a"}) {
    h.delKey(p);
    EXPECT_EQ(h.image(), deeper) << p;
  }
  char *cwd = h.pwDir();
  EXPECT_STREQ(cwd, "/a/c");
  free(cwd);
  EXPECT_EQ(h.setKey("k", 3), NC_ERR_OK);
  h.delKey("../b");  // a sibling may go
  EXPECT_EQ(h.find("/a/b"), nullptr);
}

TEST_F(Delete, RenameMovesTheSlotToKeepTheOrder) {
  open(h, "r");
  zma("/c");
  zma("/e");
  ASSERT_EQ(h.renameKey("/c/a", "b"), NC_ERR_OK);
  ASSERT_EQ(h.renameKey("/e/a", "b"), NC_ERR_OK);
  ASSERT_EQ(h.chDir("/c"), NC_ERR_OK);
  const auto before = slots("/c");
  uint32_t mod = h.sb->modtime;
  EXPECT_EQ(h.renameKey("b", "x"), NC_ERR_OK);
  EXPECT_EQ(h.slotNames("/c"), (Names{"z", "x", "m", ""}));
  EXPECT_EQ(slots("/c"), (std::vector<uint32_t>{before[0], before[2], before[1], before[3]}));
  EXPECT_EQ(h.sb->modtime, mod + 1);

  ASSERT_EQ(h.chDir("/e"), NC_ERR_OK);
  EXPECT_EQ(h.renameKey("m", "a"), NC_ERR_OK);
  EXPECT_EQ(h.slotNames("/e"), (Names{"z", "b", "a", ""}));
  char *v = nullptr;
  ASSERT_EQ(h.getKey("a", v), NC_ERR_OK);  // the value moved with the entry
  EXPECT_STREQ(v, "m");
  free(v);

  // To a name that exists, or from one that does not: nothing at all.
  const auto image = h.image();
  EXPECT_EQ(h.renameKey("a", "z"), NC_ERR_OK);
  EXPECT_EQ(h.renameKey("missing", "q"), NC_ERR_OK);
  EXPECT_EQ(h.renameKey("/c/x", "z"), NC_ERR_OK);  // z exists in /c itself
  EXPECT_EQ(h.image(), image);
}

TEST_F(Delete, RenameReusesANameChunkOfTheSameCapacity) {
  open(h, "r");
  ASSERT_EQ(h.setKey("/ab", 1), NC_ERR_OK);
  const uint32_t e = off("/ab"), name = h.entryAt(e)->name;
  ASSERT_EQ(header(name), 8u);
  ASSERT_EQ(h.renameKey("/ab", "cd"), NC_ERR_OK);
  ASSERT_EQ(h.renameKey("/cd", "xyz"), NC_ERR_OK);
  EXPECT_EQ(h.entryAt(e)->name, name);
  EXPECT_STREQ(h.data + name, "xyz");
  ASSERT_EQ(h.renameKey("/xyz", "wxyz"), NC_ERR_OK);
  EXPECT_NE(h.entryAt(e)->name, name);
  EXPECT_TRUE(isFree(name));
  EXPECT_EQ(header(h.entryAt(e)->name), 12u);
  EXPECT_EQ(h.find("/wxyz"), h.entryAt(e));
  // A shorter name does not keep a larger chunk either.
  const uint32_t longer = h.entryAt(e)->name;
  ASSERT_EQ(h.renameKey("/wxyz", "ab"), NC_ERR_OK);
  EXPECT_TRUE(isFree(longer));
  EXPECT_EQ(header(h.entryAt(e)->name), 8u);

  // A damaged name chunk whose header runs past the end of the file is
  // never written in place.
  const uint32_t end = h.lsize;
  memcpy(h.data + end - 4, "ab", 3);
  *reinterpret_cast<uint32_t *>(h.data + end - 8) = 12;
  h.entryAt(e)->name = end - 4;
  const auto image = h.image();
  EXPECT_EQ(h.renameKey("/ab", "abcdef"), NC_ERR_CORRUPT);
  EXPECT_EQ(h.image(), image);
  // Nor does a rename that an unusable free-chunk table cannot serve.
  ASSERT_EQ(h.setKey("/cd", 1), NC_ERR_OK);
  h.sb->chunk_ttl = 1;
  const auto no_table = h.image();
  EXPECT_EQ(h.renameKey("/cd", "abcdef"), NC_ERR_CORRUPT);
  EXPECT_EQ(h.image(), no_table);
}

TEST_F(Delete, RefusedRenamesChangeNothing) {
  open(h, "r");
  ASSERT_EQ(h.setKey("/o/a", 1), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/o/b", 2), NC_ERR_OK);
  ASSERT_EQ(h.setKey("/p/q/k", 3), NC_ERR_OK);
  ASSERT_EQ(h.chDir("/p/q"), NC_ERR_OK);
  const auto image = h.image();
  // The clash is in the entry's own directory, not the current one.
  EXPECT_EQ(h.renameKey("/o/a", "b"), NC_ERR_OK);
  for (const char *bad : {"", "x/y", "/", ".", ".."})
    EXPECT_EQ(h.renameKey("/o/a", bad), NC_ERR_NVAL) << bad;
  EXPECT_EQ(h.renameKey(nullptr, "x"), NC_ERR_NVAL);
  EXPECT_EQ(h.renameKey("/o/a", nullptr), NC_ERR_NVAL);
  for (const char *cur : {"/", ".", "..", "/p", "/p/q", "../../p"})
    EXPECT_EQ(h.renameKey(cur, "n"), NC_ERR_PERM) << cur;
  EXPECT_EQ(h.image(), image);
  EXPECT_EQ(h.renameKey("k", "n"), NC_ERR_OK);  // still usable
  int v = 0;
  EXPECT_EQ(h.getKey("/p/q/n", v), NC_ERR_OK);
  EXPECT_EQ(v, 3);
}

TEST_F(Delete, ClosedAndReadOnlyHandlesChangeNothing) {
  open(h, "r");
  ASSERT_EQ(h.setKey("/a", 1), NC_ERR_OK);
  h.close();
  const auto on_disk = readFile(dir.file("r"));
  h.delKey("/a");
  EXPECT_EQ(h.renameKey("/a", "b"), NC_ERR_NFILE);
  ASSERT_EQ(h.open(NC_O_RO), NC_ERR_OK);
  h.delKey("/a");
  EXPECT_EQ(h.renameKey("/a", "b"), NC_ERR_RDONLY);
  EXPECT_NE(h.find("/a"), nullptr);
  h.close();
  EXPECT_EQ(readFile(dir.file("r")), on_disk);
}

TEST_F(Delete, VeryDeepTreeAndCyclesInDamagedFiles) {
  open(h, "r", 1);
  std::string path;
  for (int i = 0; i < 5000; i++) path += "/a";
  ASSERT_EQ(h.setKey(path.c_str(), 1), NC_ERR_OK);
  const uint32_t mod = h.sb->modtime;
  h.delKey("/a");
  EXPECT_EQ(h.sb->modtime, mod + 5000);
  EXPECT_EQ(h.slotNames("/"), (Names{""}));

  // /d/e holds d itself in place of its key: deletion must still end.
  ASSERT_EQ(h.setKey("/d/e/k", 1), NC_ERR_OK);
  ASSERT_EQ(h.createDir("/d/f", 1), NC_ERR_OK);
  const uint32_t d = off("/d");
  *reinterpret_cast<uint32_t *>(h.data + h.find("/d/e")->offset) = d;
  *reinterpret_cast<uint32_t *>(h.data + h.find("/d/f")->offset) = 0x7FFFFFF0;  // off the view
  h.delKey("/d");
  EXPECT_EQ(h.find("/d"), nullptr);
  EXPECT_EQ(h.entryAt(d)->type, 0u);
}

TEST(Status, PrintsSizeAndFreeAreas) {
  TempDir dir;
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, dir.file("r"), 1, 8, 16), NC_ERR_OK);
  testing::internal::CaptureStderr();
  h.status();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Size:\t4096\nFree:\t3900 in 1 chunk\nMin:\t3900\nAvg:\t3900\nMax:\t3900\n");

  h.chunks[0] = {1000, 3000};
  h.chunks[1] = {400, 200};
  testing::internal::CaptureStderr();
  h.status();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Size:\t4096\nFree:\t3200 in 2 chunks\nMin:\t200\nAvg:\t1600\nMax:\t3000\n");

  h.chunks[0] = h.chunks[1] = {0, 0};
  testing::internal::CaptureStderr();
  h.status();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Size:\t4096\nFree:\t0 in 0 chunk\n");

  h.close();
  testing::internal::CaptureStderr();
  h.status();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
