// A handle's pending changes: the pages of the view changed since the last
// commit, and the journal that makes commits durable.
//
// Invariant: outside a commit, every page of the view that is not listed in
// `pages` holds what the file holds (it is a clean private mapping of the
// file, or, while `overlay` is set, a copy of file and journal; for a file of
// the other byte order, what `base` holds, converted), unless `stale` is set:
// then no operation reads the view until a lock maps it anew.
#ifndef LIB_SYSTEM_NCONFIG_TXN_H
#define LIB_SYSTEM_NCONFIG_TXN_H

#include <cstdint>
#include <vector>

#include "journal.h"

struct nc_txn_s {
  std::vector<uint32_t> pages;   // changed pages, by number, first touch first
  std::vector<uint64_t> marked;  // one bit per page of the view: listed in pages
  bool untracked = false;        // memory for the list was refused: commit must fail
  bool growth_refused = false;   // the file could not grow since the last commit
  bool stale = false;            // a mapping was refused: the view may not show the file
  bool committed = false;        // a commit since the last checkpoint
  bool overlay = false;          // the view is an anonymous copy, not a mapping
  size_t overlay_bytes = 0;      // its length
  uint32_t reserved = 0;         // the file holds no hole below this offset
  int refusal = 0;               // what a write answers until the next lock (NC_ERR_)
  bool damage_said = false;      // a damaged journal was reported
  int damage_verdict = 0;        // the file beside it: 0 not checked, 1 sound, 2 not
  bool foreign = false;          // the file is of the other byte order (see below)
  // For a file of the other byte order: its bytes, in its own order, as the
  // view (an anonymous copy in this machine's order) last showed them.
  std::vector<char> base;
  size_t mapped = 0;             // and the length of its anonymous view's mapping
  nc::Journal journal;
};

namespace nc {

// The granularity of change tracking and of re-mapping: the system's page.
uint32_t viewPage();

// When set (tests), every commit compares each page it does not write with
// the file and ends the process on a difference: a store that was not
// touched would otherwise be lost without a trace.
extern bool verifyTouches;

}  // namespace nc

#endif  // LIB_SYSTEM_NCONFIG_TXN_H
