// journal_cross crash|verify FILE big|little: leaves a commit cut short in
// FILE's journal, or checks that it is replayed. Built for each machine so
// that a journal left on one is replayed on the other.
#include "cross_replay.h"

int main(int argc, char **argv) {
  if (argc != 4) { fprintf(stderr, "usage: journal_cross crash|verify FILE big|little\n"); return 2; }
  const bool big = strcmp(argv[3], "big") == 0;
  if (strcmp(argv[1], "crash") == 0) cross::crashMidCommit(argv[2], big);
  const std::string why = cross::replayed(argv[2], big);
  if (!why.empty()) fprintf(stderr, "journal_cross: %s\n", why.c_str());
  return why.empty() ? 0 : 1;
}
