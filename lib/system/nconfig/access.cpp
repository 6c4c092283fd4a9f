// The typed accessors: one setKey and one getKey overload per value type.
//
// Integers are stored as 8 bytes (signed or unsigned 64-bit, host order) and
// read back narrow by keeping the low 32 bits; long double goes through
// double; strings carry their NUL; raw values are their bytes.
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "internal.h"

namespace {

// Copies the 8-byte value of `e` into *out; false when it has none or it
// does not lie inside the view.
bool readWord64(const nc::View &v, const nc_de_s *e, void *out) {
  if (e->offset == 0 || !v.spans(e->offset, 8)) return false;
  memcpy(out, v.data + e->offset, 8);
  return true;
}

}  // namespace

// Looks `name` up under a shared lock, held until the caller returns, and
// checks its type; on success the caller reads the entry.
#define NC_GET_BEGIN(name, want)                        \
  if (fd < 0) return NC_ERR_NFILE;                      \
  if (!(name)) return NC_ERR_NVAL;                      \
  nc::LockScope lock(*this, NC_L_RO);                   \
  if (viewStale()) return NC_ERR_NMEM;                  \
  nc_de_s *e = getDirEnt((name), nullptr);              \
  if (!e || e->type != (want)) return e ? NC_ERR_TYPE : NC_ERR_NEXIST; \
  const nc::View v{data, lsize};

#define NC_GET_WORD64(name, want, Stored, value)        \
  NC_GET_BEGIN(name, want)                              \
  Stored stored;                                        \
  if (!readWord64(v, e, &stored)) return NC_ERR_NEXIST;                     \
  value = static_cast<std::remove_reference_t<decltype(value)>>(stored); \
  return NC_ERR_OK;

int NConfig::setKey(const char *name, unsigned long long value) {
  uint64_t stored = value;
  return _setKey(name, NC_UINT, reinterpret_cast<const char *>(&stored), 8);
}

int NConfig::setKey(const char *name, unsigned int value) {
  return setKey(name, static_cast<unsigned long long>(value));
}

int NConfig::setKey(const char *name, long long value) {
  int64_t stored = value;
  return _setKey(name, NC_INT, reinterpret_cast<const char *>(&stored), 8);
}

int NConfig::setKey(const char *name, int value) {
  return setKey(name, static_cast<long long>(value));
}

int NConfig::setKey(const char *name, const char *value) {
  if (!value) return NC_ERR_NVAL;
  const size_t len = strlen(value) + 1;
  if (len > 0xFFFFFFFFu) return NC_ERR_NVAL;
  return _setKey(name, NC_STRING, value, unsigned(len));
}

int NConfig::setKey(const char *name, long double value) {
  return setKey(name, static_cast<double>(value));
}

int NConfig::setKey(const char *name, double value) {
  return _setKey(name, NC_DOUBLE, reinterpret_cast<const char *>(&value), 8);
}

int NConfig::setKey(const char *name, const char *value, unsigned int len) {
  if (!value && len) return NC_ERR_NVAL;
  return _setKey(name, NC_RAW, len ? value : nullptr, len);
}

int NConfig::getKey(const char *name, unsigned long long &value) {
  NC_GET_WORD64(name, NC_UINT, uint64_t, value)
}

int NConfig::getKey(const char *name, unsigned int &value) {
  NC_GET_WORD64(name, NC_UINT, uint64_t, value)
}

int NConfig::getKey(const char *name, long long &value) {
  NC_GET_WORD64(name, NC_INT, int64_t, value)
}

int NConfig::getKey(const char *name, int &value) {
  NC_GET_WORD64(name, NC_INT, int64_t, value)
}

int NConfig::getKey(const char *name, long double &value) {
  NC_GET_WORD64(name, NC_DOUBLE, double, value)
}

int NConfig::getKey(const char *name, double &value) {
  NC_GET_WORD64(name, NC_DOUBLE, double, value)
}

int NConfig::getKey(const char *name, char *&value) {
  NC_GET_BEGIN(name, NC_STRING)
  int rc = NC_ERR_OK;
  char *copy = nullptr;
  if (e->offset != 0) {
    // The string ends at its NUL, its recorded length or the view's end.
    if (e->offset >= v.size) {
      rc = NC_ERR_CORRUPT;
    } else {
      const size_t room = v.size - e->offset;
      const size_t n = strnlen(data + e->offset, e->pages < room ? e->pages : room);
      copy = static_cast<char *>(malloc(n + 1));
      if (copy) {
        memcpy(copy, data + e->offset, n);
        copy[n] = '\0';
      } else {
        rc = NC_ERR_NMEM;
      }
    }
  }
  if (rc != NC_ERR_CORRUPT) value = copy;
  return rc;
}

int NConfig::getKey(const char *name, char *&value, unsigned int &len) {
  NC_GET_BEGIN(name, NC_RAW)
  int rc = NC_ERR_OK;
  char *copy = nullptr;
  unsigned int n = 0;
  if (e->offset != 0 && e->pages != 0) {
    if (!v.spans(e->offset, e->pages)) {
      rc = NC_ERR_CORRUPT;
    } else if ((copy = static_cast<char *>(malloc(e->pages)))) {
      memcpy(copy, data + e->offset, e->pages);
      n = e->pages;
    } else {
      rc = NC_ERR_NMEM;
    }
  }
  if (rc == NC_ERR_OK) {
    value = copy;
    len = n;
  }
  return rc;
}
