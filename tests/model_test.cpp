// A seeded random run of the tree interface (values, directories, relative
// paths, deletions, renames, refusals, reopening) against an in-memory model:
// each step's result, modtime, leaks and soundness; often the whole tree.

#include "test_util.h"

namespace {

// An entry: its type, and its value's stored form (empty for a key without one).
struct Node { uint32_t type; std::string bytes; };

template <typename T>
std::string bytesOf(T v) { return std::string(reinterpret_cast<const char *>(&v), sizeof v); }

// The tree as absolute paths. "/" is the root.
struct Model {
  std::map<std::string, Node> nodes{{"/", {NC_DIR, ""}}};
  std::string cwd = "/";

  static std::string join(const std::string &d, const std::string &n) { return d == "/" ? "/" + n : d + "/" + n; }
  static std::string parent(const std::string &p) { return p.rfind('/') == 0 ? "/" : p.substr(0, p.rfind('/')); }
  // True when `a` is `b` or a directory above it.
  static bool above(const std::string &a, const std::string &b) {
    return a == b || a == "/" || b.compare(0, a.size() + 1, a + "/") == 0;
  }
  bool isDir(const std::string &p) const { return nodes.count(p) && nodes.at(p).type == NC_DIR; }

  // How far a path resolves: `at` is the last existing entry reached, `rest`
  // the components missing from there on.
  struct Walk {
    bool blocked = false, dots = false;  // a value mid-path; "." or ".." among the missing components
    std::string at;
    std::vector<std::string> rest;
    bool found() const { return !blocked && rest.empty(); }
  };
  Walk walk(const std::string &path) const {
    Walk w;
    w.at = path[0] == '/' ? "/" : cwd;
    for (size_t i = path[0] == '/' ? 1 : 0, e; i < path.size(); i = e + 1) {
      e = std::min(path.find('/', i), path.size());
      const std::string c = path.substr(i, e - i);
      if (!w.rest.empty()) w.dots = w.dots || c == "." || c == "..", w.rest.push_back(c);
      else if (!isDir(w.at)) return w.blocked = true, w;
      else if (c == "..") w.at = parent(w.at);
      else if (c != "." && nodes.count(join(w.at, c))) w.at = join(w.at, c);
      else if (c != ".") w.rest.push_back(c);
    }
    return w;
  }
  // Paths at or below `p`.
  std::vector<std::string> subtree(const std::string &p) const {
    std::vector<std::string> out;
    for (auto it = nodes.lower_bound(p); it != nodes.end() && above(p, it->first); ++it) out.push_back(it->first);
    return out;
  }
};

// Names that are prefixes of others, and one with bytes above 0x7f.
const char *const kNames[] = {"a", "b", "\xc3\xa9", "z", "ab", "ba", "b0"};

class ModelRun : public ::testing::TestWithParam<std::tuple<unsigned, unsigned, unsigned>> {
 protected:
  void SetUp() override {
    auto [dirent, mchunks, seed] = GetParam();
    rng.seed(seed);
    ASSERT_EQ(makeRegistry(h, dir.file("r"), 1, dirent, mchunks), NC_ERR_OK);
  }
  unsigned pick(unsigned n) { return rng() % n; }
  std::string name() { return kNames[pick(7)]; }

  // A path that often names or extends something that exists (with odds of
  // `existing` in 4), absolute or relative, now and then with "." or "..".
  std::string path(unsigned existing) {
    std::string p;
    if (pick(4) < existing) {
      p = std::next(m.nodes.begin(), pick(unsigned(m.nodes.size())))->first;
      if (Model::above(m.cwd, p) && p != m.cwd && pick(2)) p = p.substr(m.cwd == "/" ? 1 : m.cwd.size() + 1);
      if (p == "/" || pick(3) == 0) p = Model::join(p, name());
    } else {
      p = pick(3) ? "/" : "";
      for (unsigned i = 0, depth = 1 + pick(pick(8) ? 3 : 7); i < depth; i++) p += (i ? "/" : "") + name();
    }
    if (pick(12) == 0)
      p.insert(p.rfind('/') == std::string::npos ? 0 : p.rfind('/') + 1, pick(2) ? "./" : "../");
    else if (pick(24) == 0)
      p += pick(2) ? "/." : "/..";
    return p;
  }

  // A random value, stored through the matching overload; mostly of type
  // `like` when that is a value type, so that stored values get replaced.
  int setRandom(const char *k, uint32_t like, Node *n) {
    auto store = [&](uint32_t type, auto v, const std::string &bytes) { *n = {type, bytes}; return h.setKey(k, v); };
    const unsigned first_case[] = {0, 0, 5, 0, 2, 6, 4}, cases[] = {0, 0, 1, 2, 2, 2, 1};
    const bool same = like > NC_DIR && like <= NC_DOUBLE && pick(3);
    const bool edge = pick(2);
    const uint64_t r = uint64_t(rng()) << 32 | rng();
    const int small = edge ? -1 : int(r);
    const unsigned long long big = edge ? (1ull << 32) + 5 : r >> 12;
    const double dbl = edge ? -0.0 : double(r >> 40) / 7;
    switch (same ? first_case[like] + pick(cases[like]) : pick(8)) {
      case 0: return store(NC_INT, small, bytesOf<int64_t>(small));
      case 1: return store(NC_INT, (long long)r, bytesOf(r));
      case 2: return store(NC_UINT, unsigned(r), bytesOf<uint64_t>(unsigned(r)));
      case 3: return store(NC_UINT, big, bytesOf(big));
      case 4: return pick(2) ? store(NC_DOUBLE, dbl, bytesOf(dbl))
                             : store(NC_DOUBLE, (long double)dbl, bytesOf(dbl));
      case 5: { const std::string v(pick(40), char('a' + pick(26))); return store(NC_STRING, v.c_str(), v + '\0'); }
      default: {
        std::string v(pick(3) ? pick(50) : 0, '\0');
        for (char &b : v) b = char(rng());
        *n = {NC_RAW, v};
        return h.setKey(k, v.empty() && edge ? nullptr : v.data(), unsigned(v.size()));
      }
    }
  }

  // Every getter that applies to `n` answers as the model says (narrow ones
  // with the low half), and the getters of other types refuse.
  void expectValue(const std::string &p, const Node &n) {
    SCOPED_TRACE(p);
    const char *k = p.c_str();
    long long ll = 0;
    unsigned long long ull = 0;
    int i = 0;
    unsigned u = 0, len = 0;
    double d = 0;
    long double ld = 0;
    char *s = nullptr, *raw = nullptr;
    auto ok = [&](uint32_t type) { return n.type == type ? NC_ERR_OK : NC_ERR_TYPE; };
    const std::vector<int> got_rc = {h.getKey(k, ll), h.getKey(k, i),  h.getKey(k, ull), h.getKey(k, u),
                                     h.getKey(k, d),  h.getKey(k, ld), h.getKey(k, s),   h.getKey(k, raw, len)};
    EXPECT_EQ(got_rc, (std::vector<int>{ok(NC_INT), ok(NC_INT), ok(NC_UINT), ok(NC_UINT), ok(NC_DOUBLE),
                                        ok(NC_DOUBLE), ok(NC_STRING), ok(NC_RAW)}));
    // Per type: what the wide getter read, and whether the other getter agrees.
    const std::pair<std::string, bool> got =
        n.type == NC_INT      ? std::pair{bytesOf<int64_t>(ll), i == int(ll)}
        : n.type == NC_UINT   ? std::pair{bytesOf<uint64_t>(ull), u == unsigned(ull)}
        : n.type == NC_DOUBLE ? std::pair{bytesOf(d), bytesOf(double(ld)) == bytesOf(d)}
        : n.type == NC_STRING ? std::pair{std::string(s) + '\0', true}
        : n.type == NC_RAW    ? std::pair{std::string(raw ? raw : "", len), (raw == nullptr) == n.bytes.empty()}
                              : std::pair{n.bytes, true};
    EXPECT_EQ(got.first, n.bytes);
    EXPECT_TRUE(got.second);
    free(s);
    free(raw);
  }

  // The tree as listings show it, every value included, and the current
  // directory as pwDir shows it are the model's. (The checker sees to slot order and links.)
  void expectTree() {
    std::map<std::string, uint32_t> seen{{"/", NC_DIR}};
    nctest::eachEntry(h, "/", [&](const std::string &p, uint32_t type) { seen[p] = type; });
    ASSERT_EQ(seen.size(), m.nodes.size());
    for (auto &[p, n] : m.nodes) { ASSERT_EQ(seen[p], n.type) << p; expectValue(p, n); }
    char *pwd = h.pwDir();
    EXPECT_STREQ(pwd, m.cwd.c_str());
    free(pwd);
  }

  // Closes the handle, checks that the view reached the file, and reopens.
  void reopen() {
    const auto image = h.image();
    h.close();
    ASSERT_EQ(readFile(dir.file("r")), image);
    ASSERT_EQ(h.open(NC_O_RW), NC_ERR_OK);
    m.cwd = "/";
  }

  TempDir dir;
  TestNConfig h;
  Model m;
  std::mt19937 rng;
};

TEST_P(ModelRun, TreeFollowsTheModel) {
  const int kSteps = 1500;
  uint64_t leaked = 0;
  for (int step = 0; step < kSteps; step++) {
    if (step == kSteps / 2) { ASSERT_NO_FATAL_FAILURE(reopen()); }
    const unsigned op = pick(18);
    const std::string p = path(op >= 10 && op < 16 ? 3 : 2);
    SCOPED_TRACE("step " + std::to_string(step) + ": op " + std::to_string(op) + " on " + p);
    const Model::Walk w = m.walk(p);
    const auto before = h.image();
    const uint32_t mod = h.sb->modtime, size = h.sb->size, ttl = h.sb->chunk_ttl;
    uint32_t want_mod = mod;
    uint64_t want_leak = 0;
    int rc = NC_ERR_OK, want = NC_ERR_OK;
    if (op < 10) {  // store a value or create a directory
      Node n{NC_DIR, ""};
      rc = op < 8 ? setRandom(p.c_str(), w.found() ? m.nodes[w.at].type : 0, &n)
                  : h.createDir(p.c_str(), pick(5));
      if (w.blocked) {
        want = NC_ERR_PERM;
      } else if (w.found()) {
        if (m.nodes[w.at].type != n.type) want = NC_ERR_TYPE;
        else if (n.type != NC_DIR) m.nodes[w.at] = n;
      } else if (w.dots) {
        want = NC_ERR_NVAL;
      } else {
        std::string q = w.at;
        for (const std::string &c : w.rest) m.nodes[q = Model::join(q, c)] = {NC_DIR, ""};
        m.nodes[q] = n;
        want_mod += unsigned(w.rest.size()) + 1;
      }
    } else if (op < 13) {  // delete a key or a subtree; its entry chunks stay behind
      if (w.found() && !Model::above(w.at, m.cwd)) {
        for (const std::string &q : m.subtree(w.at)) {
          if (m.nodes[q].type == NC_DIR) want_leak += 28ull * h.find(q.c_str())->pages;
          m.nodes.erase(q);
          want_mod++;
        }
      }
      h.delKey(p.c_str());
    } else if (op < 16) {  // rename; now and then to a name that cannot be one
      const char *const bad[] = {"", "x/y", ".", ".."};
      const std::string to = pick(10) ? name() : bad[pick(4)];
      rc = h.renameKey(p.c_str(), to.c_str());
      const std::string dest = w.found() ? Model::join(Model::parent(w.at), to) : "";
      // (Nothing is renamed where the new name is taken here, or nothing has the old one.)
      if (to.empty() || to == "." || to == ".." || to.find('/') != std::string::npos) want = NC_ERR_NVAL;
      else if (m.nodes.count(Model::join(m.cwd, to)) || !w.found()) {}
      else if (Model::above(w.at, m.cwd)) want = NC_ERR_PERM;
      else if (!m.nodes.count(dest)) {
        for (const std::string &q : m.subtree(w.at)) {
          m.nodes[dest + q.substr(w.at.size())] = m.nodes[q];
          m.nodes.erase(q);
        }
        want_mod++;
      }
    } else {
      rc = h.chDir(p.c_str());
      want = !w.found() ? NC_ERR_NEXIST : m.isDir(w.at) ? NC_ERR_OK : NC_ERR_NDIR;
      if (want == NC_ERR_OK) m.cwd = w.at;
    }
    ASSERT_EQ(rc, want);
    ASSERT_EQ(h.sb->modtime, want_mod);
    // Stored values are read back with the whole tree below.
    if ((op >= 10 || want != NC_ERR_OK) && want_mod == mod) { ASSERT_EQ(h.image(), before); }

    // Space leaks only as deletion leaves entry chunks behind, and as a move
    // of the free-chunk table during a growth may leave out its last record.
    const nc_check_report r = nc_check_image(h.data, h.sb->size);
    ASSERT_TRUE(r.ok()) << r.describe();
    ASSERT_GE(r.leaked_bytes, leaked + want_leak);
    if (h.sb->chunk_ttl == ttl) { ASSERT_EQ(r.leaked_bytes, leaked + want_leak); }
    ASSERT_LE(r.leaked_bytes, leaked + want_leak + (h.sb->size - size));
    leaked = r.leaked_bytes;
    ASSERT_EQ(r.directories + r.keys, m.nodes.size());
    if (step % 10 == 0) { ASSERT_NO_FATAL_FAILURE(expectTree()); }
  }
  ASSERT_NO_FATAL_FAILURE(reopen());
  ASSERT_NO_FATAL_FAILURE(expectTree());
  EXPECT_GT(h.sb->chunk_ttl, std::get<1>(GetParam()) + 6);  // the table moved, the file grew
  EXPECT_GT(h.sb->size, 4096u);
}

INSTANTIATE_TEST_SUITE_P(Small, ModelRun, ::testing::Values(std::tuple(1u, 2u, 1u), std::tuple(2u, 3u, 2u)));

}  // namespace
