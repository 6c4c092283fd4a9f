// The registry store: a single-file, memory-mapped, hierarchical key/value
// database shared between processes through whole-file record locks.
//
// The file is used in place. Every integer in it is a 32-bit word in the byte
// order of the machine that made it, and every link is a byte offset from the
// start of the file. A handle maps the file as a private copy-on-write view and
// writes the whole view back when it closes.
#ifndef LIB_SYSTEM_NCONFIG_H
#define LIB_SYSTEM_NCONFIG_H

#include <cstddef>
#include <cstdint>

// Result codes. Every operation that can fail returns one of these.
#define NC_ERR_OK 0
#define NC_ERR_TYPE (-1)      // entry of another type, or an invalid open mode
#define NC_ERR_NDIR (-2)      // not a directory
#define NC_ERR_PERM (-3)      // not permitted (cannot open, exists, path blocked)
#define NC_ERR_NMEM (-4)      // memory or a mapping was refused
#define NC_ERR_NEXIST (-5)    // no such key or directory
#define NC_ERR_NFILE (-6)     // no file: handle not open, no name, cannot create
#define NC_ERR_CORRUPT (-7)   // the file is damaged, empty or has the wrong magic
#define NC_ERR_NVAL (-8)      // invalid argument
#define NC_ERR_RDONLY (-9)    // the handle was opened read-only
#define NC_ERR_NOSUPPORT (-10)  // declared; no operation returns it

// A short English text for result code `code` ("no such key or directory"),
// without a trailing newline; "unknown result code" for any other value. The
// string is static: never freed, never changed, valid for the life of the
// program. Thread-safe.
const char *nc_strerror(int code);

// Entry types. 0 marks a free entry.
#define NC_DIR 1
#define NC_STRING 2
#define NC_INT 3
#define NC_UINT 4
#define NC_RAW 5
#define NC_DOUBLE 6
#define NC_LINK 7  // declared only: nothing creates, reads or follows it

// Open modes.
#define NC_O_RO 1
#define NC_O_RW 2

// Lock states.
#define NC_L_NONE 0
#define NC_L_RO 1  // shared
#define NC_L_RW 2  // exclusive

// The first four bytes of every registry file: 0x00 0x09 0x12 0x00.
#define NC_SB_MAGIC "\0\11\22"

// Superblock, at offset 0 of the file.
struct nc_sb_s {
  uint32_t magic;      // NC_SB_MAGIC
  uint32_t size;       // length of the file in bytes
  uint32_t ent_inc;    // slots added to a full directory
  uint32_t chunk_inc;  // records added to the free-chunk table when it moves
  uint32_t size_inc;   // growth unit of the file, in 4096-byte pages
  uint32_t chunk_ttl;  // records in the free-chunk table
  uint32_t chunk;      // offset of the free-chunk table
  uint32_t root;       // offset of the root entry (36)
  uint32_t modtime;    // structural change counter (not a time)
};

// Directory entry: one per key or directory, 24 bytes in a chunk of its own.
struct nc_de_s {
  uint32_t name;    // offset of the NUL-terminated name; 0 in a free entry
  uint32_t type;    // NC_DIR .. NC_DOUBLE; 0 marks a free entry
  uint32_t parent;  // offset of the parent's entry; the root names itself
  uint32_t offset;  // directory: slot array; value: value chunk; 0 for none
  uint32_t pages;   // directory: number of slots; value: length in bytes
  uint32_t crc;     // reserved, always 0
};

// Record of the free-chunk table.
struct nc_chunk_s {
  uint32_t offset;  // first byte of the free area (where a header would go)
  uint32_t size;    // total size of the free area; 0 marks an empty record
};

// Listing record handed out by NConfig::ls; a record with a null name ends
// the array.
struct nc_ls_s {
  char *name;
  uint32_t type;
};

static_assert(sizeof(nc_sb_s) == 36, "superblock is 36 bytes");
static_assert(offsetof(nc_sb_s, size) == 4 && offsetof(nc_sb_s, ent_inc) == 8 &&
                  offsetof(nc_sb_s, chunk_inc) == 12 &&
                  offsetof(nc_sb_s, size_inc) == 16 &&
                  offsetof(nc_sb_s, chunk_ttl) == 20 &&
                  offsetof(nc_sb_s, chunk) == 24 && offsetof(nc_sb_s, root) == 28 &&
                  offsetof(nc_sb_s, modtime) == 32,
              "superblock layout");
static_assert(sizeof(nc_de_s) == 24, "directory entry is 24 bytes");
static_assert(offsetof(nc_de_s, type) == 4 && offsetof(nc_de_s, parent) == 8 &&
                  offsetof(nc_de_s, offset) == 12 &&
                  offsetof(nc_de_s, pages) == 16 && offsetof(nc_de_s, crc) == 20,
              "directory entry layout");
static_assert(sizeof(nc_chunk_s) == 8 && offsetof(nc_chunk_s, size) == 4,
              "free-chunk record layout");

// A handle on one registry file. Not shared between threads.
//
// Locking: every public operation that touches the view takes one lock and
// releases it on every exit path. lockFile/unLockFile are public and nest, so
// a caller may hold one lock across several operations.
//
// Current directory: the handle refuses to delete the directory it stands in
// or any directory above it, to rename the root, and to rename its current
// directory or any directory above it; such calls change nothing. This keeps
// the current directory reachable by its recorded path.
class NConfig {
 protected:
  int fd;           // descriptor of the open file; -1 while closed
  int omode;        // mode of the last open: NC_O_RO, NC_O_RW, or 0
  int lock;         // NC_L_NONE, NC_L_RO or NC_L_RW
  int careful;      // keep the view read-only outside exclusive locks
  char *fname;      // path of the registry file (owned)
  char *data;       // start of the mapped view, null while unmapped
  char *cname;      // absolute path of the current directory (owned)
  unsigned int lsize;     // length of the view as last re-mapped
  unsigned int update;    // modtime as this handle last saw it
  unsigned int revision;  // unused
  unsigned int olck;      // nesting depth beyond the first lock level
  nc_sb_s *sb;            // == data while mapped
  nc_de_s *rdir;          // root entry
  nc_de_s *cdir;          // current directory's entry
  nc_chunk_s *chunks;     // free-chunk table
  int dirty;              // an exclusive lock was held since open: the view
                          // may differ from the file and is written back

  // Re-maps the view from osize to nsize bytes, possibly moving it; changed
  // pages keep their changes. Re-derives data, sb and rdir. Ends the process
  // with "mremap: <reason>" when the system refuses.
  void _remap(unsigned int osize, unsigned int nsize);

  // Heap copy of `name` without its leading "/", every "/" turned into NUL,
  // followed by at least three NULs. Null when memory is refused.
  char *canonize(const char *name);
  // The entry `name` names, starting at `cc` (or the root for an absolute
  // path, else the current directory); null when nothing matches or the file
  // is damaged along the way. Takes no lock; never allocates in the file.
  nc_de_s *getDirEnt(const char *name, nc_de_s *cc);
  // Heap string: absolute path of entry `w`; null on failure.
  char *getName(const nc_de_s *w);

  // Places the record `what` (outside the view) into directory `where`,
  // keeping its slots sorted; sets what->parent. Returns the entry in the view
  // that now holds it, or null when the directory cannot take another entry.
  nc_de_s *insert(unsigned int where, nc_de_s *what);
  // Creates or updates the key `name` of type t. For NC_DIR, len is the wanted
  // slot count; otherwise value/len is the value (null value removes it).
  int _setKey(const char *name, const unsigned int t, const char *value,
              const unsigned int len);
  // Deletes the entry `name` (resolved from p), everything below it, and with
  // tosort compacts its parent's slots.
  void _delKey(const char *name, nc_de_s *p, int tosort);

  // Allocator. Runs inside the caller's exclusive lock; may grow and re-map
  // the file, after which only data, sb, rdir, cdir and chunks are valid.
  static unsigned int alignSize(unsigned int s);
  // Offset of a fresh zero-filled chunk of alignSize(s) bytes; never 0.
  unsigned int getChunk(unsigned int s);
  // Gives back the chunk whose data starts at `where`; 0 does nothing.
  void freeChunk(unsigned int where);
  // Enters the chunk whose data starts at `offset` into the free-chunk table.
  void fast_free(unsigned int offset);
  // Grows the file and the view by `toadd` bytes.
  void expand(unsigned int toadd);

 public:
  explicit NConfig(int protect);
  virtual ~NConfig();

  int setName(const char *name);
  int createNew(unsigned int resize, unsigned int dirent, unsigned int mchunks);
  int open(int how);
  void close();
  void flush();
  void lockFile(int type, int force);
  void unLockFile();
  static char *version();

  int chDir(const char *name);
  char *pwDir();
  nc_ls_s *ls(const char *name);

  int createDir(const char *name, unsigned int entries);

  int setKey(const char *name, unsigned long long value);
  int setKey(const char *name, unsigned int value);
  int setKey(const char *name, long long value);
  int setKey(const char *name, int value);
  int setKey(const char *name, const char *value);
  int setKey(const char *name, long double value);
  int setKey(const char *name, double value);
  int setKey(const char *name, const char *value, unsigned int len);

  int getKey(const char *name, unsigned long long &value);
  int getKey(const char *name, unsigned int &value);
  int getKey(const char *name, long long &value);
  int getKey(const char *name, int &value);
  int getKey(const char *name, long double &value);
  int getKey(const char *name, double &value);
  int getKey(const char *name, char *&value);
  int getKey(const char *name, char *&value, unsigned int &len);

  void delKey(const char *name);
  int renameKey(const char *oldname, const char *newname);
  void status();
};

#endif  // LIB_SYSTEM_NCONFIG_H
