// Normal form of an LNB's rotor table string.
#ifndef ROTOR_TABLE_H
#define ROTOR_TABLE_H

// Writes the normal form of rotor table `old` into `out`, which has room for
// strlen(old) + 1 bytes; the result is never longer than `old`.
void normalizeRotorTable(const char *old, char *out);

#endif  // ROTOR_TABLE_H
