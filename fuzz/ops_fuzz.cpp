// Fuzz target: a sequence of operations decoded from the input, applied to a
// fresh registry. After every operation the view must still be a sound
// registry; an operation may also damage the view on purpose ("poke"), after
// which the remaining operations must fail or succeed but never crash, hang
// or touch memory outside the view.
//
// Input: three bytes of creation parameters, then operations, each an opcode
// byte followed by the arguments it reads. Input that runs out reads as zero.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_util.h"
#include "lib/system/nconfig/ext.h"
#include "lib/system/nconfig_check.h"
#include "tests/tree_walk.h"

namespace {

using Handle = NConfigExt;

// Flips bits of one byte of the view. The table and file growth steps are
// left alone: huge ones make allocations slow (gigabytes), not unsafe.
void poke(Handle &h, uint32_t off, uint8_t value) {
  if (!h.data || h.lsize == 0) return;
  if (h.careful && h.lock != NC_L_RW) return;  // the view is read-only then
  off %= h.lsize;
  if (off >= offsetof(nc_sb_s, chunk_inc) && off < offsetof(nc_sb_s, chunk_ttl)) return;
  h.data[off] ^= value ? value : 1;
}

class Input {
 public:
  Input(const uint8_t *d, size_t n) : d_(d), n_(n) {}
  bool done() const { return pos_ >= n_; }
  uint8_t byte() { return pos_ < n_ ? d_[pos_++] : 0; }
  uint32_t u16() { return byte() | uint32_t(byte()) << 8; }
  uint32_t u32() { return u16() | u16() << 16; }
  // Up to `max` raw bytes.
  std::string bytes(size_t max) {
    size_t len = byte() % (max + 1);
    if (len > n_ - pos_ && pos_ <= n_) len = n_ - pos_;
    std::string s(reinterpret_cast<const char *>(d_ + pos_), len);
    pos_ += len;
    return s;
  }
  // A path over a small alphabet, so that operations meet each other's keys.
  std::string path() {
    static const char *const kNames[] = {"a", "b", "c", "ab", "ba", "lnbs", "0", "1",
                                         "RotorTable", "..", ".", "", "zz", "a b", "\xff", "b"};
    const uint8_t shape = byte();
    std::string p = (shape & 0x80) ? "" : "/";
    const int parts = 1 + (shape & 3);
    for (int i = 0; i < parts; i++) { if (i) p += '/'; p += kNames[byte() % 16]; }
    if (shape & 0x40) p += '/';
    return p;
  }
  std::string name() {
    static const char *const kNames[] = {"a", "b", "c", "x", "ab", "", ".", "..", "q/r", "lnbs"};
    return kNames[byte() % 10];
  }

 private:
  const uint8_t *d_;
  size_t n_;
  size_t pos_ = 0;
};

// Structural check of the view; aborts with a description on damage.
void checkSound(const Handle &h, const char *after) {
  if (!h.data) return;
  const nc_check_report r = nc_check_image(h.data, h.lsize);
  if (!r.ok()) fprintf(stderr, "unsound registry after %s:\n%s", after, r.describe().c_str()), abort();
}

// The image of a fresh registry made with these parameters (made once).
const std::string &freshImage(unsigned resize, unsigned dirent, unsigned mchunks) {
  static std::string cache[2][4][4];
  std::string &img = cache[resize - 1][dirent - 1][mchunks - 2];
  if (!img.empty()) return img;
  // createNew refuses an existing path: make the file under a fresh name.
  char tmpl[] = "/dev/shm/nc-ops-XXXXXX";
  const int tfd = mkstemp(tmpl);
  if (tfd < 0) abort();
  ::close(tfd), unlink(tmpl);
  NConfig maker(0);
  maker.setName(tmpl);
  if (maker.createNew(resize, dirent, mchunks) != NC_ERR_OK) abort();
  std::ifstream f(tmpl, std::ios::binary);
  img.assign(std::istreambuf_iterator<char>(f), {});
  unlink(tmpl);
  return img;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::initQuiet();
  fuzz::installFences();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static fuzz::MemFile file;
  if (size > 4096) return -1;
  Input in(data, size);
  const uint8_t p0 = in.byte(), p1 = in.byte(), p2 = in.byte();
  // Small growth steps make growth, table moves and slot growth frequent.
  const unsigned resize = 1 + p0 % 2, dirent = 1 + p1 % 4, mchunks = 2 + p2 % 4;

  file.assign(nullptr, 0);
  const std::string &img = freshImage(resize, dirent, mchunks);
  file.assign(reinterpret_cast<const uint8_t *>(img.data()), img.size());

  Handle h(p0 >> 7);
  h.setName(file.path());
  if (h.open(NC_O_RW) != NC_ERR_OK) abort();
  bool damaged = false;
  unsigned held = 0;  // exclusive lock levels the sequence holds
  char what[64];
  for (int step = 0; step < 64 && !in.done(); step++) {
    const uint8_t op = in.byte();
    snprintf(what, sizeof what, "step %d op %u", step, op % 20);
    switch (op % 20) {
      case 0: h.setKey(in.path().c_str(), in.u32()); break;
      case 1: h.setKey(in.path().c_str(), int(in.u32())); break;
      case 2: h.setKey(in.path().c_str(), in.bytes(40).c_str()); break;
      case 3: {  // larger values force growth
        const std::string b = in.bytes(255), v = b + std::string(in.byte() * 16, 'r');
        h.setKey(in.path().c_str(), v.data(), unsigned(v.size()));
        break;
      }
      case 4: h.setKey(in.path().c_str(), double(in.u32()) / 3); break;
      case 5: h.createDir(in.path().c_str(), in.byte() % 24); break;
      case 6: h.delKey(in.path().c_str()); break;
      case 7: h.renameKey(in.path().c_str(), in.name().c_str()); break;
      case 8: h.chDir(in.path().c_str()); break;
      case 9: {
        char *s = nullptr, *raw = nullptr;
        unsigned long long u;
        unsigned len;
        if (h.getKey(in.path().c_str(), s) == NC_ERR_OK) free(s);
        h.getKey(in.path().c_str(), u);
        if (h.getKey(in.path().c_str(), raw, len) == NC_ERR_OK) free(raw);
        break;
      }
      case 10: nctest::freeList(h.ls(in.byte() & 1 ? nullptr : in.path().c_str())); break;
      case 11: free(h.pwDir()); break;
      case 12: if (held == 0) h.flush(); break;
      case 13:  // reopen read-only and back: writes in between must be refused
        if (held == 0 && h.open(NC_O_RO) == NC_ERR_OK && h.setKey("/ro", 1u) != NC_ERR_RDONLY) abort();
        if (held == 0) h.open(NC_O_RW);
        break;
      case 14: if (held < 3) h.lockFile(NC_L_RW, in.byte() & 1), held++; break;
      case 15: if (held > 0) h.unLockFile(), held--; break;
      case 16: {  // damage the view: from here on only safety is checked
        const uint32_t off = in.u32();
        const uint8_t value = in.byte();
        h.lockFile(NC_L_RW, 0), poke(h, off, value), h.unLockFile();
        damaged = true;
        break;
      }
      case 17: h.setKey(in.path().c_str(), nullptr, 0); break;
      case 18: fuzz::quietly([&] { h.status(); }); break;
      case 19: h.setKey(in.path().c_str(), static_cast<unsigned long long>(in.u32()) << 32); break;
    }
    if (!damaged) checkSound(h, what);
  }
  while (held-- > 0) h.unLockFile();
  h.close();
  return 0;
}
