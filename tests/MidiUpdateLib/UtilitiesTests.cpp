#include "Utilities.h"

#include <gtest/gtest.h>

TEST(BytesToHuman, UnitsAndRounding) {
    EXPECT_EQ(BytesToHuman(0), "0 bytes");
    EXPECT_EQ(BytesToHuman(1), "1 byte");
    EXPECT_EQ(BytesToHuman(2), "2 bytes");
    EXPECT_EQ(BytesToHuman(1023), "1023 bytes");
    EXPECT_EQ(BytesToHuman(1024), "1.0KB");
    EXPECT_EQ(BytesToHuman(1536), "1.5KB");
    EXPECT_EQ(BytesToHuman(1048575), "1024.0KB");
    EXPECT_EQ(BytesToHuman(1048576), "1.0MB");
    EXPECT_EQ(BytesToHuman(4294967295u), "4096.0MB");
}
