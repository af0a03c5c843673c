// mpojoin's per-file work: the argument NAME_L.jpg, a left picture, and the
// right picture NAME_R.jpg beside it are joined into the stereo MPO file
// NAME.mpo beside them.
#ifndef MPOJOIN_JOIN_HPP
#define MPOJOIN_JOIN_HPP

#include <cstdio>

#include "locator.hpp"

// The hook run_batch calls for each argument (the left picture, open as
// `in`; nothing located); false when the pair was refused, having said why,
// or its MPO file could not be written.
bool join_pair(FILE* in, StartTable* table, int count, const char* arg);

#endif
