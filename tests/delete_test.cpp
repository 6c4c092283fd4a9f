// Deletion, renaming and the allocator's statistics, at the level of the
// file image. The model run covers results, modtimes and slot order (through
// the checker) at random; these pin the exact releases and chunk reuse.

#include "test_util.h"

namespace {

class Delete : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(makeRegistry(h, dir.file("r"), 1, 4, 64), NC_ERR_OK); }
  TempDir dir;
  TestNConfig h;
};

TEST_F(Delete, DirectoryGoesDepthFirstInSlotOrder) {
  // The same tree in two files: one deletes /x, the other replays the
  // expected releases by hand. The images must match byte for byte.
  TestNConfig twin;
  ASSERT_EQ(makeRegistry(twin, dir.file("t"), 1, 4, 64), NC_ERR_OK);
  for (TestNConfig *t : {&h, &twin}) {
    for (const char *k : {"/x/p", "/x/q", "/x/r", "/x/s/t1", "/x/s/t2"}) ASSERT_EQ(t->setKey(k, k), NC_ERR_OK);
    ASSERT_EQ(t->setKey("/y", 1), NC_ERR_OK);
  }
  const uint32_t x = h.offsetOf(h.find("/x"));
  h.delKey("/x");
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
  std::rotate(root + 1, root + 2, root + twin.rdir->pages);  // x's zeroed entry goes last
  EXPECT_EQ(h.image(), twin.image());
}

TEST_F(Delete, RenameReusesANameChunkOfTheSameCapacityOnly) {
  ASSERT_EQ(h.setKey("/ab", 1), NC_ERR_OK);
  nc_de_s *e = h.find("/ab");
  // New name, header of its chunk, whether the old chunk is kept (else freed):
  // a shorter name does not keep a larger chunk either.
  const std::tuple<const char *, const char *, uint32_t, bool> steps[] = {
      {"/ab", "cd", 8, true}, {"/cd", "xyz", 8, true}, {"/xyz", "wxyz", 12, false}, {"/wxyz", "ab", 8, false}};
  for (const auto &[from, to, header, kept] : steps) {
    const uint32_t old = e->name;
    ASSERT_EQ(h.renameKey(from, to), NC_ERR_OK);
    EXPECT_EQ(h.find(("/" + std::string(to)).c_str()), e);
    EXPECT_EQ(e->name == old, kept) << to;
    EXPECT_TRUE(sound(h.data, h.lsize, false)) << to;  // a chunk not kept is freed
    EXPECT_EQ(h.word(e->name - 4), header) << to;
  }
}

TEST_F(Delete, VeryDeepTree) {
  std::string path;
  for (int i = 0; i < 5000; i++) path += "/a";
  ASSERT_EQ(h.setKey(path.c_str(), 1), NC_ERR_OK);
  const uint32_t mod = h.sb->modtime;
  h.delKey("/a");
  EXPECT_EQ(h.sb->modtime, mod + 5000);
  EXPECT_EQ(h.find("/a"), nullptr);
}

TEST_F(Delete, StatusPrintsSizeAndFreeAreas) {
  const std::pair<std::vector<nc_chunk_s>, const char *> cases[] = {
      {{}, "Size:\t4096\nFree:\t3516 in 1 chunk\nMin:\t3516\nAvg:\t3516\nMax:\t3516\n"},
      {{{1000, 3000}, {400, 200}}, "Size:\t4096\nFree:\t3200 in 2 chunks\nMin:\t200\nAvg:\t1600\nMax:\t3000\n"},
      {{{0, 0}, {0, 0}}, "Size:\t4096\nFree:\t0 in 0 chunk\n"},
      {{}, ""}};  // closed
  for (const auto &[table, text] : cases) {
    for (size_t i = 0; i < table.size(); i++) h.chunks[i] = table[i];
    if (!*text) h.close();
    testing::internal::CaptureStderr();
    h.status();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), text);
  }
}

}  // namespace
