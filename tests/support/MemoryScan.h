#pragma once
// Finds copies of a secret in this process's committed, readable memory. The secret is made at
// run time and the needle holds it only inverted, so that neither the program image nor the
// scanner's own data is a copy.
#include <windows.h>

#include <vector>

namespace testsupport {

struct Needle {
    std::vector<BYTE> inverted;
};

// Fills pin with `digits` pseudo-random digits and a terminator; the needle is its UTF-16 form.
Needle MakePin(wchar_t* pin, size_t digits);
// The needle of the same digits in a one-byte code page (ASCII).
Needle NarrowNeedle(const Needle& wide);
// Addresses of every copy.
std::vector<const BYTE*> FindCopies(const Needle& needle);

}  // namespace testsupport
