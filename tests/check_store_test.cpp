// The checker and the image builder against the store itself: the builder's
// fresh image is the store's, builder images open in the store, and every
// image the store leaves behind a random run of operations is sound.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "image_builder.h"
#include "test_util.h"

namespace nctest {
namespace {

TEST(CheckStore, BuilderMakesTheImageCreateNewWrites) {
  TempDir dir;
  for (uint32_t mchunks : {2u, 16u, 100u}) {
    const std::string path = dir.file("r" + std::to_string(mchunks));
    TestNConfig h;
    ASSERT_EQ(h.setName(path.c_str()), NC_ERR_OK);
    ASSERT_EQ(h.createNew(2, 5, mchunks), NC_ERR_OK);
    EXPECT_EQ(readImage(path), ImageBuilder(2, 5, mchunks).image()) << mchunks;
  }
}

TEST(CheckStore, BuilderImagesOpenInTheStore) {
  TempDir dir;
  ImageBuilder b(1, 2, 16);
  uint32_t cfg = b.addDir(ImageBuilder::kRoot, "cfg");
  b.addString(cfg, "name", "box");
  b.addUint(cfg, "lofH", 10600);
  b.addDir(cfg, "empty", 3);
  b.addInt(ImageBuilder::kRoot, "neg", -5);
  ASSERT_TRUE(b.save(dir.file("r")));

  TestNConfig h;
  ASSERT_EQ(h.setName(dir.file("r").c_str()), NC_ERR_OK);
  ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
  char *s = nullptr;
  ASSERT_EQ(h.getKey("/cfg/name", s), NC_ERR_OK);
  EXPECT_STREQ(s, "box");
  free(s);
  unsigned int u = 0;
  EXPECT_EQ(h.getKey("/cfg/lofH", u), NC_ERR_OK);
  EXPECT_EQ(u, 10600u);
  long long n = 0;
  EXPECT_EQ(h.getKey("neg", n), NC_ERR_OK);
  EXPECT_EQ(n, -5);
  EXPECT_EQ(h.slotNames("/cfg"), (std::vector<std::string>{"name", "lofH", "empty", ""}));
  ASSERT_EQ(h.setKey("/cfg/more", "x"), NC_ERR_OK);
  EXPECT_TRUE(SoundBytes(h.data, h.sb->size, false));
}

// A model of the tree: path -> type.
using Model = std::map<std::string, uint32_t>;

// The proper ancestors of absolute `path`, outermost first ("/" excluded).
std::vector<std::string> ancestors(const std::string &path) {
  std::vector<std::string> out;
  for (size_t i = path.find('/', 1); i != std::string::npos; i = path.find('/', i + 1))
    out.push_back(path.substr(0, i));
  return out;
}

// Records a successful creation of `path` as `type`, as the store makes it:
// missing directories on the way are created. False when the model says the
// store must refuse (a key on the way, or the name taken by another type).
bool create(Model &m, const std::string &path, uint32_t type) {
  for (const std::string &a : ancestors(path))
    if (m.count(a) && m[a] != NC_DIR) return false;
  if (m.count(path) && m[path] != type) return false;
  for (const std::string &a : ancestors(path)) m[a] = NC_DIR;
  m[path] = type;
  return true;
}

// Random creations, replacements, deletions and renames, with the checker run
// on the open view after every operation; the model gives the expected
// results and counts. Small ent_inc and mchunks make slot arrays grow and the
// free-chunk table move often.
TEST(CheckStore, EveryOperationLeavesASoundImage) {
  TempDir dir;
  TestNConfig h;
  ASSERT_EQ(makeRegistry(h, dir.file("r"), 1, 2, 3), NC_ERR_OK);
  Model model;
  std::mt19937 rng(11);
  const char *parents[] = {"/", "/d/", "/d/e/", "/f/"};
  const char *names[] = {"a", "bb", "ccc", "d", "e", "f", "zz", "\xc3\xa9"};
  for (int step = 0; step < 1500; step++) {
    const std::string path = std::string(parents[rng() % 4]) + names[rng() % 8];
    int rc = NC_ERR_OK;
    bool allowed = true;
    switch (rng() % 6) {
      case 0:
      case 1:
        rc = h.setKey(path.c_str(), std::string(rng() % 40, 'v').c_str());
        allowed = create(model, path, NC_STRING);
        break;
      case 2:
        rc = h.setKey(path.c_str(), (unsigned int)rng());
        allowed = create(model, path, NC_UINT);
        break;
      case 3:
        rc = h.createDir(path.c_str(), rng() % 5);
        allowed = create(model, path, NC_DIR);
        break;
      case 4:
        h.delKey(path.c_str());
        for (auto it = model.begin(); it != model.end();)
          it = it->first == path || it->first.rfind(path + "/", 0) == 0 ? model.erase(it) : std::next(it);
        break;
      case 5: {
        if (ancestors(path).size() != 0) break;  // new names resolve from "/"
        const std::string to = names[rng() % 8];
        rc = h.renameKey(path.c_str(), to.c_str());
        if (!model.count(path) || model.count("/" + to)) break;
        Model moved;
        for (auto &[p, t] : model)
          moved[p == path || p.rfind(path + "/", 0) == 0 ? "/" + to + p.substr(path.size()) : p] = t;
        model.swap(moved);
        break;
      }
    }
    ASSERT_EQ(rc == NC_ERR_OK, allowed) << rc << " at step " << step << " on " << path;
    nc_check_report r = nc_check_image(h.data, h.sb->size);
    ASSERT_TRUE(r.ok()) << "step " << step << " on " << path << "\n" << r.describe();
    uint32_t dirs = 1, keys = 0;
    for (auto &[p, t] : model) (t == NC_DIR ? dirs : keys)++;
    ASSERT_EQ(r.directories, dirs) << "step " << step;
    ASSERT_EQ(r.keys, keys) << "step " << step;
  }
  EXPECT_GT(model.size(), 10u);
  EXPECT_GT(h.sb->chunk_ttl, 3u);  // the table moved
  h.close();
  EXPECT_TRUE(SoundFile(dir.file("r")));
}

}  // namespace
}  // namespace nctest
