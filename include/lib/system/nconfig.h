// The registry store: a single-file, memory-mapped, hierarchical key/value
// database shared between processes through whole-file record locks.
//
// The file is used in place. Every integer in it is a 32-bit word in the byte
// order of the machine that made it, and every link is a byte offset from the
// start of the file. A handle maps the file as a private copy-on-write view.
//
// Commits: changes become visible to other processes when the outermost
// exclusive lock is released; group changes that belong together in one lock
// bracket (lockFile(NC_L_RW, 0) ... unLockFile()). Other processes see all of
// a bracket's changes or none. An operation called outside a bracket is its
// own commit; close() and flush() commit what is pending. A commit is made
// durable through a redo journal beside the registry ("<registry>-journal"),
// so that a crash or a power cut at any moment leaves the old state or the
// new one. Where the journal cannot be created (its directory is not
// writable) the handle says so once on standard error and writes changes in
// place, which other processes still see atomically but a power cut may tear.
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
// the array. The caller owns the array and every name in it.
struct nc_ls_s {
  char *name;     // heap copy of the entry's name
  uint32_t type;  // NC_DIR .. NC_DOUBLE
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

struct nc_txn_s;  // the handle's pending changes and journal (internal)
namespace nc {
class LockScope;  // holds a handle's lock for a scope (internal)
class PathCache;  // a handle's map from paths to entry offsets (internal)
}

// A handle on one registry file. Not shared between threads.
//
// Life of a handle: construct, setName, then createNew (once, for a new
// file) and open; read and write keys; close (or destroy the handle). The
// view is a private copy-on-write mapping of the file: changes reach the file
// when the outermost exclusive lock is released (the commit rule in the
// comment at the top of this file), and outside an exclusive lock every page
// of the view shows what the file holds.
//
// Paths: "/a/b" is absolute; any other path starts at the current directory
// (initially "/"). "." names the directory itself and ".." its parent (the
// root is its own parent). A path ends at its first empty component, so "a/"
// and "a//b" both name "a", and "" names the current directory. Names are
// compared byte by byte as unsigned values.
//
// Locking: every public operation that touches the view takes one lock and
// releases it on every exit path. lockFile/unLockFile are public and nest, so
// a caller may hold one lock across several operations. The locks are
// whole-file fcntl record locks: they exclude other processes, not other
// handles of the same process, and closing any descriptor of the file drops
// all of this process's locks on it. A shared lock is never promoted: an
// operation that writes (setKey, createDir, delKey, renameKey) or
// lockFile(NC_L_RW) while this handle holds NC_L_RO ends the process.
//
// Refusals by the system end no process. A lock request the system refuses
// is asked again, after yielding the processor, until it is granted. A full
// disk, or a mapping refused for a longer view, makes the writing operation
// answer NC_ERR_NMEM, and the handle goes on at the last commit. When the
// view cannot follow the file (the system refuses to map it afresh, after
// another process grew the file or after a page could not be mapped back),
// every operation under that lock answers NC_ERR_NMEM (ls gives null, delKey
// does nothing) and changes nothing; each later outermost lock tries again.
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
  nc_txn_s *txn;          // pages changed since the last commit, the journal
  nc::PathCache *pcache;  // paths looked up under the view's current state

  // Records that view bytes [off, off + len) are about to change; every
  // store into the view goes through here, so that a commit writes exactly
  // the changed pages.
  void touch(unsigned int off, unsigned int len);
  // Releases one lock level; the outermost release of an exclusive lock
  // commits. NC_ERR_OK, or the commit's failure (NC_ERR_NMEM: space or memory
  // refused; NC_ERR_PERM: the journal is unsafe), after which the changes
  // made under the lock are discarded.
  int _unlock();
  // Ends a writing operation with result `rc`: when the file could not grow,
  // drops every change since the last commit and answers NC_ERR_NMEM; then
  // releases the lock (committing when outermost) and answers rc, or the
  // commit's failure.
  int finishWrite(int rc);
  // Drops every change made since the last commit: the view follows the file
  // again. Used when an operation fails for lack of space.
  void discardPending();
  // Writes the pending changes to the file (through the journal); the view
  // then follows the file. Needs the exclusive lock. NC_ERR_OK or a failure
  // as for _unlock (the changes are then discarded).
  int commitPending();
  // True when growth was refused since the last commit or discard.
  bool growthRefused() const;
  // True while the view may not show the file because a mapping was refused
  // (see lockFile): operations then answer NC_ERR_NMEM.
  bool viewStale() const;
  // Maps the whole file afresh and checks its superblock: *view and *size
  // on success; NC_ERR_CORRUPT (too short, wrong magic, damaged superblock)
  // or NC_ERR_NMEM (no mapping). Needs a lock.
  int mapFile(char **view, unsigned int *size);
  // Unmaps the view and forgets what was pending in it.
  void unmapView();
  // Derives rdir, chunks and cdir from the view and records its modtime.
  void refreshPointers();
  // Under a lock just taken: replays a journal that holds commits the file
  // may lack, or, where this handle cannot write, shows them in a copy. A
  // damaged journal is replayed not at all: set aside when the file checks
  // sound, else the handle refuses with NC_ERR_CORRUPT. Decides what
  // writeRefusal() answers until the next lock.
  void settleJournal();
  // Shows the file again where the view was a copy.
  void showFileAgain();
  // Replays, or sets aside a damaged journal, under the exclusive lock.
  void catchUp();
  // Says once that the journal is damaged and decides what writes answer.
  void judgeDamage(bool set_aside);
  // True when the file, as it stands, passes every check of the checker.
  bool fileSound();
  void showJournal();
  // True while the view is that read-only copy: a writable handle whose
  // replay failed shows commits it cannot write, and refuses to change them.
  bool showsCopy() const;
  // NC_ERR_OK when this handle may change the file now; else why not:
  // NC_ERR_PERM (the journal is unsafe, damaged or not writable by this
  // process), NC_ERR_NMEM (a replay failed, or the view could not be
  // re-mapped), NC_ERR_CORRUPT (a damaged journal beside a damaged file).
  int writeRefusal() const;

  // True when the open file is of the other byte order than this machine's.
  bool fileForeign() const;
  // Files of the other byte order (their view is an anonymous copy in this
  // machine's order): under a lock just taken, converts the file afresh when
  // it no longer holds what the view last showed.
  void followForeign();
  // Makes such a view show the file's bytes as last seen again, dropping what
  // is pending. False when that cannot be had (the view is then stale).
  bool revertForeign();
  // Replaces the view by `view` of `size` bytes; pointers are derived again
  // at the next lock or refreshPointers().
  void adoptView(char *view, unsigned int size);

  // Re-maps the view from osize to nsize bytes: moves it, or where the
  // system will not, replaces it by a fresh private mapping of the file,
  // protected as the lock held allows. Pages changed since the last commit
  // keep their changes; bytes past osize show the file. Re-derives data, sb
  // and rdir. NC_ERR_OK, or NC_ERR_NMEM when the system refuses the mapping:
  // the old view then stays, untouched.
  int _remap(unsigned int osize, unsigned int nsize);

  // Heap copy of `name` without its leading "/", every "/" turned into NUL,
  // followed by at least three NULs. Null when memory is refused.
  char *canonize(const char *name);
  // The entry `name` names, starting at `cc` (or the root for an absolute
  // path, else the current directory); null when nothing matches or the file
  // is damaged along the way. Takes no lock; never allocates in the file.
  nc_de_s *getDirEnt(const char *name, nc_de_s *cc);
  // Heap string: absolute path of entry `w`; null on failure.
  char *getName(const nc_de_s *w);
  // The absolute form of `name` as the path cache keys it, its length in
  // *len: `name` itself when absolute, else the current directory's path and
  // `name` joined in buf (PathCache::kMaxKey + 1 bytes, NUL-terminated).
  // Null when the lookup bypasses the cache: no cache, the root itself, a
  // path too long, or an empty, "." or ".." component.
  const char *cacheKey(const char *name, char *buf, size_t *len) const;
  // Follows key[0, len) (a cacheKey result; key[len] is NUL) from the root,
  // or from the entry cached for it or for its directory, as walkPath does
  // (same *rest and *blocked), and caches the entries it finds. Needs rdir.
  nc_de_s *walkCached(const char *key, size_t len, const char **rest, bool *blocked,
                      int64_t *slot = nullptr);
  // The used entry cached for key[0, len) inside the view, or null.
  nc_de_s *cachedEntry(const char *key, size_t len);
  // Caches key[0, len) -> the entry at `off` under the view's current state.
  void remember(const char *key, size_t len, uint32_t off);
  // Forgets every cached path: the view no longer shows the state they were
  // found in.
  void dropCache();

  // Places the record `what` (outside the view) into directory `where`,
  // keeping its slots sorted; sets what->parent. Returns the entry in the view
  // that now holds it, or null when the directory cannot take another entry.
  // `hint`, when not -1, is where the lookup that missed the name found it
  // would go; it is checked before it is used.
  nc_de_s *insert(unsigned int where, nc_de_s *what, int64_t hint = -1);
  // Creates or updates the key `name` of type t. For NC_DIR, len is the wanted
  // slot count; otherwise value/len is the value (null value removes it).
  int _setKey(const char *name, const unsigned int t, const char *value,
              const unsigned int len);
  // Grows the full directory at `where` by ent_inc fresh entries; false
  // when the space or the file's limits refuse.
  bool growDirectory(uint32_t where);
  // The steps of _setKey. Each runs under the exclusive lock and keeps
  // offsets across allocations.
  // NC_ERR_NVAL when a change of this size could pass the 32-bit limit,
  // NC_ERR_CORRUPT when the superblock does not let the allocator work.
  int writableFor(unsigned int t, unsigned int len);
  // Finds the entry `name` names, of type t, or creates it with every
  // missing directory above it, in one walk; its offset goes to *nd_off.
  int findOrCreate(const char *name, unsigned int t, uint32_t *nd_off);
  // Creates the components of `rest` below the directory at dir_off, the
  // last one of type t; its offset goes to *made.
  // `hint` is the insertion slot of rest's first component, or -1.
  int createPath(uint32_t dir_off, const char *rest, unsigned int t, uint32_t *made,
                 int64_t hint = -1);
  // Grows the slot array of the directory at nd_off to `len` slots.
  int growSlots(uint32_t nd_off, uint32_t len);
  // Stores value[0, len) as the value of the key at nd_off, reusing, trimming
  // or replacing its chunk.
  int storeValue(uint32_t nd_off, const char *value, uint32_t len);
  // Removes the value of the key at nd_off.
  void dropValue(uint32_t nd_off);
  friend class nc::LockScope;

  // The steps of renameKey: stores `name` (len bytes with its NUL) as the
  // name of the entry at nd_off, in its chunk or a new one; moves the
  // entry's slot in its parent's array to keep the order.
  int storeName(uint32_t nd_off, const char *name, uint32_t len);
  int moveSlot(uint32_t parent_off, uint32_t nd_off, const char *name);
  // Deletes the entry at `top` and everything below it, depth first; with
  // tosort the top entry's slot moves to the end of its parent's array.
  void deleteTree(uint32_t top, int tosort);
  // Zeroes the entry at entry_off and frees its name and value (or slots).
  void eraseEntry(uint32_t entry_off, bool compact);
  // Deletes the entry `name` (resolved from p), everything below it, and with
  // tosort compacts its parent's slots.
  void _delKey(const char *name, nc_de_s *p, int tosort);

  // Allocator. Runs inside the caller's exclusive lock; may grow and re-map
  // the file, after which only data, sb, rdir, cdir and chunks are valid.
  static unsigned int alignSize(unsigned int s);
  // Offset of a fresh zero-filled chunk of alignSize(s) bytes; never 0.
  unsigned int getChunk(unsigned int s);
  // Grows the file for a chunk of `need` bytes (header included); the new
  // space is entered as free, or, when the table is full, *taken is the
  // chunk cut straight from it. False when growth is refused.
  bool growFor(uint32_t need, uint32_t *taken);
  // Cuts `need` bytes from the front of table record `chosen`; 0 when the
  // record is damaged.
  unsigned int carve(uint32_t chosen, uint32_t need);
  // Gives back the chunk whose data starts at `where`; 0 does nothing.
  void freeChunk(unsigned int where);
  // Enters the chunk whose data starts at `offset` into the free-chunk table.
  void fast_free(unsigned int offset);
  // Grows the file and the view by `toadd` bytes. False when the file system
  // refuses the space (growthRefused() then says so); nothing changed.
  bool expand(unsigned int toadd);

 public:
  // A closed handle with no file name. With `protect` non-zero the view is
  // mapped read-only except while this handle holds the exclusive lock, so a
  // stray write through a pointer into the view faults instead of changing
  // the registry. Touches no file; cannot fail.
  explicit NConfig(int protect);
  // Closes the handle as close() does (writing changes back) and frees the
  // file name.
  virtual ~NConfig();

  // Names the registry file later calls create and open. The handle keeps a
  // copy of `name`; a previous name is replaced. Takes no lock.
  //   NC_ERR_OK
  //   NC_ERR_NVAL   `name` is null
  //   NC_ERR_PERM   the handle is open (the name stays as it was)
  //   NC_ERR_NMEM   no memory for the copy (the name stays as it was)
  int setName(const char *name);
  // Creates a fresh registry file at the set name (mode 0600), its whole size
  // reserved on the disk, holding only an empty root directory, and leaves
  // the handle closed: open() it next.
  //   resize   size of the new file and unit it grows by, in 4096-byte pages
  //            (1 to 0xFFFFF)
  //   dirent   slots added to a directory that is full (1 to 65536)
  //   mchunks  records of the free-chunk table, and records it grows by
  //            (2 or more; the table must fit in the first resize pages with
  //            room to spare)
  // Takes no lock: the file is created exclusively (O_EXCL), so of two
  // processes creating the same file one gets NC_ERR_PERM.
  //   NC_ERR_OK
  //   NC_ERR_NVAL   the handle is open, or a parameter is out of range
  //   NC_ERR_NFILE  no name was set, or the file could not be created,
  //                 written or synced (a partly written file is removed)
  //   NC_ERR_PERM   a file of that name exists (it is left untouched)
  int createNew(unsigned int resize, unsigned int dirent, unsigned int mchunks);
  // Opens the named file, NC_O_RO for reading or NC_O_RW for reading and
  // writing, and makes "/" the current directory. An open handle is closed
  // first (writing its changes back), unless `how` is invalid. The file's
  // magic and superblock are checked, and a file written on a machine of the
  // other byte order is refused. Takes and releases a shared lock, so it
  // returns holding no lock.
  //   NC_ERR_OK
  //   NC_ERR_NFILE    no name was set
  //   NC_ERR_TYPE     `how` is neither NC_O_RO nor NC_O_RW (nothing changes)
  //   NC_ERR_PERM     the file cannot be opened in that mode (missing, no
  //                   permission)
  //   NC_ERR_CORRUPT  the file is shorter than a superblock or longer than
  //                   4 GiB, has the wrong magic or byte order, or its
  //                   superblock does not fit the file
  //   NC_ERR_NMEM     the mapping or memory was refused
  // On any result but NC_ERR_OK and NC_ERR_TYPE the handle is closed.
  int open(int how);
  // Commits what is pending (changes made under an exclusive lock still
  // held), taking the exclusive lock for it, and syncs the file if this
  // handle committed since its last sync, so that its journal records are no
  // longer needed; a failure is reported on standard error only. Then unmaps
  // the view, closes the file and drops every lock this handle held, however
  // deeply nested. Keeps the name, so open() may follow. Does nothing to a
  // closed handle; never fails.
  void close();
  // Commits what is pending and re-reads the file: close() then open() in the
  // last mode. The current directory becomes "/". A lock held before is
  // taken again, of the same type and nesting depth, so the caller's
  // lockFile/unLockFile pairs stay balanced; between the two steps no lock is
  // held and other processes may change the file. If the file cannot be
  // opened again the handle stays closed, and later calls report
  // NC_ERR_NFILE.
  void flush();
  // Takes the lock `type`, NC_L_RO (shared) or NC_L_RW (exclusive), waiting
  // as long as another process holds a conflicting one. If this handle
  // already holds a lock, the call only nests one level deeper and keeps the
  // lock it has (an exclusive one serves a request for a shared one); asking
  // for NC_L_RW while holding NC_L_RO ends the process. A handle opened
  // NC_O_RO asked for NC_L_RW takes NC_L_RO (its writes are refused with
  // NC_ERR_RDONLY anyway). Does nothing on a closed handle.
  //
  // On taking the lock the view is brought up to date with the file when
  // another process changed its structure since this handle last looked, or
  // always when `force` is non-zero, and re-mapped whenever the file's
  // recorded size changed: the current directory is looked up again by its
  // path (it becomes "/" if it no longer exists). Pointers into the view from
  // before are then invalid. A journal holding commits the file may lack (a
  // writer died, or the machine went down) is replayed first; a handle that
  // cannot write the file shows them in a private copy instead. Where the
  // system refuses the mapping the view needs, the lock is held all the same
  // and the operations under it answer NC_ERR_NMEM (see the class comment).
  void lockFile(int type, int force);
  // Undoes one lockFile: leaves one nesting level, or at the outermost level
  // releases the lock. Releasing the outermost exclusive lock commits every
  // change made under it, atomically and durably, before other processes
  // can lock the file. A commit that fails (full disk, failed sync, unsafe
  // journal) discards those changes and says so on standard error; the lock
  // is released all the same. Does nothing when no lock is held.
  //   NC_ERR_OK     released (a nesting level left, nothing to commit, or
  //                 the commit made)
  //   NC_ERR_NMEM   the outermost exclusive release's commit failed for lack
  //                 of space or memory: its changes were discarded
  //   NC_ERR_PERM   that commit was refused because the journal beside the
  //                 file is not safe to use: its changes were discarded
  int unLockFile();
  // The store's identification, "Quorvane registry", as a heap string the
  // caller frees with free(); null when memory is refused.
  static char *version();

  // Makes the directory `name` the current directory. Holds the shared lock
  // while it runs.
  //   NC_ERR_OK
  //   NC_ERR_NFILE    the handle is not open
  //   NC_ERR_NVAL     `name` is null
  //   NC_ERR_NEXIST   nothing is named `name`
  //   NC_ERR_NDIR     `name` is a key, not a directory
  //   NC_ERR_CORRUPT  the directory's absolute path cannot be built (damaged
  //                   file)
  //   NC_ERR_NMEM     no memory for the path
  // On failure the current directory stays as it was.
  int chDir(const char *name);
  // The absolute path of the current directory, as a heap string the caller
  // frees with free(). Null when the handle is not open or memory is
  // refused. Holds the shared lock while it runs.
  char *pwDir();
  // Lists the directory `name` (null: the current directory). Returns a heap
  // array with one record per entry, in the directory's order (descending
  // byte order of names), ended by a record whose name is null. The caller
  // frees every name and then the array with free(). Null when the handle is
  // not open, nothing is named `name`, it is not a directory, the directory
  // is empty or damaged, or memory is refused. Holds the shared lock while it
  // runs.
  nc_ls_s *ls(const char *name);

  // Creates the directory `name`, and any missing directory above it, with
  // room for `entries` entries before it first grows; a directory that exists
  // already grows to at least `entries` slots (it never shrinks). Results,
  // locking and failures as for setKey; NC_ERR_TYPE when `name` is a key.
  int createDir(const char *name, unsigned int entries);

  // Stores `value` under the key `name`: a new key is created together with
  // any missing directory above it; an existing key of the same type gets
  // the new value. The value is copied into the file. Types by overload:
  //   unsigned long long, unsigned int   NC_UINT, stored in 64 bits
  //   long long, int                     NC_INT, stored in 64 bits
  //   double, long double                NC_DOUBLE (long double is narrowed)
  //   const char *                       NC_STRING, with its NUL
  //   const char *, len                  NC_RAW, `len` bytes (0: an empty
  //                                      value; `value` may then be null)
  // Holds the exclusive lock while it runs (see the class comment on
  // promotion); the file may grow. Outside a lock bracket the change is
  // committed before the call returns; inside one, when the bracket ends.
  //   NC_ERR_OK
  //   NC_ERR_NFILE    the handle is not open
  //   NC_ERR_RDONLY   the handle was opened NC_O_RO
  //   NC_ERR_NVAL     `name` is null, a string value is null, a raw value is
  //                   null with `len` non-zero, a component to be created is
  //                   "." or "..", or the file would pass the 32-bit limit
  //   NC_ERR_TYPE     `name` exists with another type (a directory included)
  //   NC_ERR_PERM     a component on the path is a key, not a directory
  //   NC_ERR_CORRUPT  the file is damaged, or no space could be allocated in
  //                   it; directories created on the way may remain
  //   NC_ERR_NMEM     the file could not grow (full disk), or the commit
  //                   failed: every change since the last commit is dropped
  //   NC_ERR_PERM     also: the journal beside the file is not safe to use
  int setKey(const char *name, unsigned long long value);
  int setKey(const char *name, unsigned int value);
  int setKey(const char *name, long long value);
  int setKey(const char *name, int value);
  int setKey(const char *name, const char *value);
  int setKey(const char *name, long double value);
  int setKey(const char *name, double value);
  int setKey(const char *name, const char *value, unsigned int len);

  // Reads the value of key `name` into `value`. The key must have the type
  // its setKey overload gives: unsigned int and int receive the low 32 bits
  // of the stored 64, long double the stored double. Holds the shared lock
  // while it runs. `value` changes only on NC_ERR_OK.
  //   NC_ERR_OK
  //   NC_ERR_NFILE    the handle is not open
  //   NC_ERR_NVAL     `name` is null
  //   NC_ERR_NEXIST   no key is named `name`, or it holds no value that lies
  //                   inside the file
  //   NC_ERR_TYPE     `name` exists with another type (a directory included)
  int getKey(const char *name, unsigned long long &value);
  int getKey(const char *name, unsigned int &value);
  int getKey(const char *name, long long &value);
  int getKey(const char *name, int &value);
  int getKey(const char *name, long double &value);
  int getKey(const char *name, double &value);
  // Reads the NC_STRING key `name`: sets `value` to a heap copy of the string,
  // NUL-terminated, which the caller frees with free(); null when the key
  // holds no value. The copy ends at the string's NUL, its recorded length or
  // the end of the file, whichever comes first. Holds the shared lock while
  // it runs.
  //   NC_ERR_OK
  //   NC_ERR_NFILE, NC_ERR_NVAL, NC_ERR_NEXIST, NC_ERR_TYPE   as above;
  //                   `value` is left alone
  //   NC_ERR_CORRUPT  the value lies outside the file; `value` is left alone
  //   NC_ERR_NMEM     no memory for the copy; `value` is set to null
  int getKey(const char *name, char *&value);
  // Reads the NC_RAW key `name`: sets `value` to a heap copy of its `len`
  // bytes (not NUL-terminated), which the caller frees with free(); an empty
  // value gives null and 0. Holds the shared lock while it runs. `value` and
  // `len` change only on NC_ERR_OK.
  //   NC_ERR_OK
  //   NC_ERR_NFILE, NC_ERR_NVAL, NC_ERR_NEXIST, NC_ERR_TYPE   as above
  //   NC_ERR_CORRUPT  the value lies outside the file
  //   NC_ERR_NMEM     no memory for the copy
  int getKey(const char *name, char *&value, unsigned int &len);

  // Deletes the key or directory `name` and everything below it; the space
  // of names and values goes back to the free-chunk table. Does nothing when
  // the handle is not open or read-only, `name` is null or names nothing, or
  // it is the root, the current directory or a directory above it. Holds the
  // exclusive lock while it runs (see the class comment on promotion). If
  // memory runs out part way, what was deleted stays deleted.
  void delKey(const char *name);
  // Renames the entry `oldname` to `newname`, a bare name (no "/"); the entry
  // stays in its directory with everything below it. Holds the exclusive
  // lock while it runs (see the class comment on promotion).
  //   NC_ERR_OK       renamed; also returned, with nothing changed, when
  //                   `oldname` names nothing, when `newname` read as a path
  //                   from the current directory names an entry, or when the
  //                   entry's directory holds `newname` already
  //   NC_ERR_NFILE    the handle is not open
  //   NC_ERR_RDONLY   the handle was opened NC_O_RO
  //   NC_ERR_NVAL     a name is null, or `newname` is empty, holds "/", or is
  //                   "." or ".."
  //   NC_ERR_PERM     `oldname` is the root, the current directory or a
  //                   directory above it
  //   NC_ERR_CORRUPT  the file is damaged, or no space could be allocated
  //                   for the new name (the entry keeps its old name)
  int renameKey(const char *oldname, const char *newname);
  // Prints the file's size and its free space (total, number of free
  // chunks, smallest, average and largest) on standard error. Does nothing
  // when the handle is not open. Holds the shared lock while it reads.
  void status();
};

#endif  // LIB_SYSTEM_NCONFIG_H
