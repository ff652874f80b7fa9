#ifndef FUZZREQUIRE_H
#define FUZZREQUIRE_H

#include <cstdio>
#include <cstdlib>

// Ends the run with the text when a property a target checks besides crashes does not hold,
// so that the fuzzer keeps the input.
inline void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}

#endif // FUZZREQUIRE_H
