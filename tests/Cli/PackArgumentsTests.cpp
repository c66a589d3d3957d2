// How pack splits --portion FILE@DELAY: a pause only when everything after the last '@' is a number.
#include "PackArguments.h"

#include <gtest/gtest.h>

namespace {

struct PortionRow {
    const char* why;
    std::string argument;
    std::string path;
    unsigned int delay;
};

const PortionRow portionRows[] = {
    {"a pause after the name", "a.syx@250", "a.syx", 250},
    {"no '@'", "a.syx", "a.syx", 0},
    {"the last '@' counts", "a@b@12", "a@b", 12},
    {"a name that is only a pause is a name", "@250", "@250", 0},
    {"nothing after '@'", "a.syx@", "a.syx@", 0},
    {"a number too large for 32 bits", "a.syx@4294967296", "a.syx@4294967296", 0},
    // Found by cli_arguments_fuzzer: a number followed by other characters left its value behind.
    {"digits then other characters",
     "file65535.syx@2\xc4"
     "0",
     "file65535.syx@2\xc4"
     "0",
     0},
    {"a sign", "a.syx@+5", "a.syx@+5", 0},
};

TEST(PackArguments, PortionSourceSplitsOffAPauseOnlyWhenAllAfterTheLastAtIsANumber) {
    for (const PortionRow& row : portionRows) {
        SCOPED_TRACE(row.why);
        const PortionSource source = ParsePortionSource(row.argument);
        EXPECT_EQ(source.path, row.path);
        EXPECT_EQ(source.delay, row.delay);
    }
}

} // namespace
