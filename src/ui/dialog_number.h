// Reading a number out of a dialog field's text the way GetDlgItemInt does, so
// that every front end refuses and accepts the same entries.
#pragma once

#include <cstdint>

// Blanks before and after the number are skipped; a signed read allows one
// leading '+' or '-'; everything else must be decimal digits, and the value
// must fit 32 bits (unsigned, or signed when isSigned). On success stores the
// value (a signed result as its 32-bit pattern) and returns 1; otherwise stores
// 0 and returns 0.
int parseDialogNumber(const char* text, bool isSigned, uint32_t* value);
