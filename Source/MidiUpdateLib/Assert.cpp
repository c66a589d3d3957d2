#include "Assert.h"

#include <cstdio>
#include <cstdlib>

void AssertionFailed(const char* condition, const char* function, const char* file, int line) {
    std::fprintf(stderr, "Assertion failed: (%s), function %s, file %s, line %d.\n", condition, function,
                 file, line);
    std::fflush(stderr);
    std::abort();
}
