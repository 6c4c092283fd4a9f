// Normal form of an LNB's rotor table string.
//
// A rotor table is a sequence of entries; an entry starts at a sign ("+" or
// "-") and runs up to the next sign or the end of the string. In normal form
// every entry is exactly seven characters long, sign included.
#ifndef ROTOR_TABLE_H
#define ROTOR_TABLE_H

// Writes the normal form of rotor table `old` into `out`, which has room for
// strlen(old) + 1 bytes; the result is NUL-terminated and never longer than
// `old`. Reading from the front:
//   - a character that is not a sign starts a piece of seven characters (or
//     what remains) that is copied without being examined;
//   - an entry of seven characters is kept;
//   - an entry of eight characters keeps the seven characters after its sign;
//   - an entry shorter than seven characters is dropped;
//   - an entry longer than eight characters makes the whole result a copy of
//     `old`, unchanged.
// `old` and `out` must not overlap.
void normalizeRotorTable(const char *old, char *out);

#endif  // ROTOR_TABLE_H
