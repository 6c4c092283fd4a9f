// The registry handle: naming, creating, opening, mapping, locking, closing.
//
// Invariants while open: `data` maps `lsize` bytes of the file privately;
// sb == data; rdir, cdir and chunks point into the view. Every pointer into
// the view is re-derived after any re-map.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

using nc::sys;

namespace {

// Bytes of the fixed header area plus the table of a fresh file.
uint64_t headerBytes(unsigned int mchunks) { return nc::kTableOffset + 8ull * mchunks; }

uint32_t byteSwap(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

// Why a superblock of a file `flen` bytes long cannot be mapped, or null.
const char *superblockProblem(const nc_sb_s *sb, uint64_t flen) {
  if (sb->size != flen && byteSwap(sb->size) == flen) return "foreign byte order";
  if (sb->size > flen) return "shorter than its recorded size";
  if (sb->size < nc::kTableOffset || (sb->size & 3) != 0) return "bad size";
  nc::View v{reinterpret_cast<char *>(const_cast<nc_sb_s *>(sb)), sb->size};
  if (!v.entry(sb->root)) return "root outside the file";
  if (!v.spans(sb->chunk, uint64_t(sb->chunk_ttl) * sizeof(nc_chunk_s)) || sb->chunk == 0)
    return "free-chunk table outside the file";
  return nullptr;
}

// Takes the whole-file record lock of `type` (F_RDLCK/F_WRLCK), waiting as
// long as it takes. Only an interrupted wait is retried; any other refusal
// ends the process, since the caller cannot go on unprotected.
void takeRecordLock(int fd, short type) {
  while (sys().fcntl_lock(fd, F_SETLKW, type) != 0) {
    if (errno != EINTR) {
      fprintf(stderr, "Lock request failed: %s\n", strerror(errno));
      abort();
    }
    sched_yield();
  }
}

}  // namespace

NConfig::NConfig(int protect)
    : fd(-1),
      omode(0),
      lock(NC_L_NONE),
      careful(protect),
      fname(nullptr),
      data(nullptr),
      cname(nullptr),
      lsize(0),
      update(0),
      revision(0),
      olck(0),
      sb(nullptr),
      rdir(nullptr),
      cdir(nullptr),
      chunks(nullptr),
      dirty(0) {}

NConfig::~NConfig() {
  close();
  free(fname);
}

int NConfig::setName(const char *name) {
  if (!name) return NC_ERR_NVAL;
  if (fd >= 0) return NC_ERR_PERM;
  char *copy = strdup(name);
  if (!copy) return NC_ERR_NMEM;
  free(fname);
  fname = copy;
  return NC_ERR_OK;
}

int NConfig::createNew(unsigned int resize, unsigned int dirent, unsigned int mchunks) {
  if (fd >= 0) return NC_ERR_NVAL;
  if (!fname) return NC_ERR_NFILE;
  // A file the allocator could not work in is never made: the table needs two
  // records, directories must grow, and the table must fit with room to spare.
  if (resize == 0 || resize > 0xFFFFFu || dirent == 0 || dirent > nc::kMaxEntInc ||
      mchunks < 2 || uint64_t(resize) * nc::kPageSize <= headerBytes(mchunks))
    return NC_ERR_NVAL;
  if (access(fname, F_OK) == 0) return NC_ERR_PERM;
  int f = sys().open(fname, O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (f < 0) return errno == EEXIST ? NC_ERR_PERM : NC_ERR_NFILE;

  const uint32_t size = resize * nc::kPageSize;
  const uint32_t table_end = uint32_t(headerBytes(mchunks));
  uint32_t image[19] = {};
  nc_sb_s *s = reinterpret_cast<nc_sb_s *>(image);
  memcpy(&s->magic, NC_SB_MAGIC, 4);
  s->size = size;
  s->ent_inc = dirent;
  s->chunk_inc = mchunks;
  s->size_inc = resize;
  s->chunk_ttl = mchunks;
  s->chunk = nc::kTableOffset;
  s->root = nc::kRootOffset;
  nc_de_s *root = reinterpret_cast<nc_de_s *>(image + 9);
  root->name = nc::kRootNameOffset;
  root->type = NC_DIR;
  root->parent = nc::kRootOffset;
  memcpy(image + 15, "/", 2);
  image[16] = mchunks * 8 + 4;
  image[17] = table_end;
  image[18] = size - table_end;

  const char zero = 0;
  bool ok = sys().pwrite(f, image, sizeof(image), 0) == ssize_t(sizeof(image)) &&
            sys().pwrite(f, &zero, 1, size - 1) == 1 && sys().fsync(f) == 0;
  ok = sys().close(f) == 0 && ok;
  if (!ok) {
    unlink(fname);  // never leave a half-made registry behind
    return NC_ERR_NFILE;
  }
  return NC_ERR_OK;
}

int NConfig::open(int how) {
  if (!fname) return NC_ERR_NFILE;
  if (how != NC_O_RO && how != NC_O_RW) return NC_ERR_TYPE;
  if (fd >= 0) close();

  int f = sys().open(fname, how == NC_O_RW ? O_RDWR : O_RDONLY, 0);
  if (f < 0) return NC_ERR_PERM;
  off_t flen = 0;
  if (sys().fstat_size(f, &flen) != 0 || flen < off_t(sizeof(nc_sb_s)) ||
      uint64_t(flen) > 0xFFFFFFFFull) {
    sys().close(f);
    return NC_ERR_CORRUPT;
  }
  const int prot = how == NC_O_RW ? PROT_READ | PROT_WRITE : PROT_READ;
  void *view = sys().mmap(size_t(flen), prot, f);
  if (view == MAP_FAILED) {
    sys().close(f);
    return NC_ERR_NMEM;
  }
  const nc_sb_s *head = static_cast<const nc_sb_s *>(view);
  if (memcmp(head, NC_SB_MAGIC, 4) != 0 || superblockProblem(head, uint64_t(flen))) {
    sys().munmap(view, size_t(flen));
    sys().close(f);
    return NC_ERR_CORRUPT;
  }
  // Trim the view to the recorded size. Untouched, it is the fresh private
  // view of that size the first lock would map, so it is kept as that view;
  // the forced lock below re-maps only when the recorded size has changed.
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  const size_t keep = (size_t(head->size) + page - 1) / page * page;
  if (size_t(flen) > keep)
    sys().munmap(static_cast<char *>(view) + keep, size_t(flen) - keep);

  data = static_cast<char *>(view);
  lsize = head->size;
  fd = f;
  omode = how;
  sb = reinterpret_cast<nc_sb_s *>(data);
  cname = strdup("/");
  if (!cname) {
    close();
    return NC_ERR_NMEM;
  }
  lock = NC_L_NONE;
  olck = 0;
  dirty = 0;
  lockFile(NC_L_RO, 1);
  unLockFile();
  return NC_ERR_OK;
}

void NConfig::close() {
  free(cname);
  cname = nullptr;
  if (fd >= 0) {
    if (data) {
      // Only an exclusive lock lets the view change. A view that never had
      // one holds what the file holds, so writing it back would change
      // nothing.
      if (omode == NC_O_RW && dirty) {
        // Readers in other processes must never see a half-written file, so
        // the write-back holds the exclusive lock (closing drops it).
        if (lock != NC_L_RW) {
          // A conversion from a shared lock can be refused as a deadlock;
          // the data must still be written then.
          while (sys().fcntl_lock(fd, F_SETLKW, F_WRLCK) != 0 && errno == EINTR) {
          }
        }
        const char *p = data;
        size_t left = lsize;
        off_t at = 0;
        int err = 0;
        while (left > 0) {
          ssize_t n = sys().pwrite(fd, p, left, at);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
          }
          p += n;
          at += n;
          left -= size_t(n);
        }
        if (err == 0 && sys().fsync(fd) != 0) err = errno;
        if (err != 0)
          fprintf(stderr, "nconfig: write-back of %s failed: %s\n", fname ? fname : "registry",
                  strerror(err));
      }
      sys().munmap(data, lsize);
      data = nullptr;
    }
    sys().close(fd);
    fd = -1;
  } else if (data) {
    sys().munmap(data, lsize);
    data = nullptr;
  }
  // Closing the descriptor dropped every record lock this process held.
  lock = NC_L_NONE;
  olck = 0;
  lsize = 0;
  sb = nullptr;
  rdir = cdir = nullptr;
  chunks = nullptr;
}

void NConfig::flush() {
  const int held = lock;
  const unsigned int depth = olck;
  close();
  if (open(omode) == NC_ERR_OK && held != NC_L_NONE) {
    // The caller's lock bracket stays balanced and keeps protecting it.
    lockFile(held, 0);
    olck = depth;
  }
}

void NConfig::_remap(unsigned int osize, unsigned int nsize) {
  void *view;
  if (osize == 0) {
    const int prot = omode == NC_O_RW && (!careful || lock == NC_L_RW)
                         ? PROT_READ | PROT_WRITE
                         : PROT_READ;
    view = sys().mmap(nsize, prot, fd);
    if (view != MAP_FAILED && data) sys().munmap(data, nsize);
  } else {
    view = sys().mremap(data, osize, nsize);
  }
  if (view == MAP_FAILED) {
    fprintf(stderr, "mremap: %s\n", strerror(errno));
    abort();
  }
  data = static_cast<char *>(view);
  sb = reinterpret_cast<nc_sb_s *>(data);
  // Null when the superblock no longer names a root inside the view.
  rdir = nc::View{data, nsize}.entry(sb->root);
}

void NConfig::lockFile(int type, int force) {
  if (lock == NC_L_RO && type == NC_L_RW) {
    fputs("Lock promotion is not possible.\n", stderr);
    abort();
  }
  if (lock != NC_L_NONE) {
    olck++;
    return;
  }
  if (fd < 0 || !data) return;
  takeRecordLock(fd, type == NC_L_RW ? F_WRLCK : F_RDLCK);
  if (type == NC_L_RW) dirty = 1;
  if (careful && type == NC_L_RW && lsize)
    sys().mprotect(data, lsize, PROT_READ | PROT_WRITE);
  lock = type;
  olck = 0;
  if (sb->modtime == update && !force) return;

  if (lsize != sb->size) {
    // Never map past the end of the file: a recorded size the file does not
    // have keeps the old view, and every bounds check works on lsize.
    off_t flen = 0;
    if (sys().fstat_size(fd, &flen) == 0 && uint64_t(flen) >= sb->size &&
        sb->size >= nc::kTableOffset) {
      _remap(lsize, sb->size);
      lsize = sb->size;
    }
  }
  rdir = nc::View{data, lsize}.entry(sb->root);
  chunks = reinterpret_cast<nc_chunk_s *>(data + sb->chunk);
  cdir = getDirEnt(cname, nullptr);
  if (!cdir) {
    // Another process removed our current directory: fall back to the root.
    char *root = strdup("/");
    if (root) {
      free(cname);
      cname = root;
    }
    cdir = rdir;
  }
  update = sb->modtime;
}

void NConfig::unLockFile() {
  if (olck > 0) {
    olck--;
    return;
  }
  if (lock == NC_L_NONE) return;
  update = sb->modtime;
  if (careful && lsize) sys().mprotect(data, lsize, PROT_READ);
  sys().fcntl_lock(fd, F_SETLK, F_UNLCK);
  olck = 0;
  lock = NC_L_NONE;
}

char *NConfig::version() { return strdup("Quorvane registry"); }
