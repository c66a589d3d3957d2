#include "Chunks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

Range<unsigned char> RangeOf(std::vector<unsigned char>& bytes) {
    return {bytes.data(), bytes.data() + bytes.size()};
}

// Length of the chunk NextSysExChunk cuts from the front of the bytes.
unsigned long ChunkLength(std::vector<unsigned char> bytes, unsigned long ideal, unsigned long max) {
    const Range<unsigned char> remaining = RangeOf(bytes);
    const Range<unsigned char> chunk = NextSysExChunk(remaining, ideal, max);
    EXPECT_EQ(chunk.start, remaining.start);
    return chunk.Size();
}

} // namespace

TEST(RangeTrimFromFront, DropsBytesUpToTheWholeSize) {
    std::vector<unsigned char> bytes(10);
    Range<unsigned char> range = RangeOf(bytes);
    range.TrimFromFront(0);
    EXPECT_EQ(range.start, bytes.data());
    range.TrimFromFront(3);
    EXPECT_EQ(range.start, bytes.data() + 3);
    EXPECT_EQ(range.Size(), 7u);
    range.TrimFromFront(7);
    EXPECT_TRUE(range.Empty());
    EXPECT_EQ(range.start, range.end);
}

TEST(RangeTrimFromFrontDeathTest, PastTheEndStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<unsigned char> bytes(10);
    Range<unsigned char> range = RangeOf(bytes);
    EXPECT_DEATH(range.TrimFromFront(11), "start <= end.*TrimFromFront");
}

TEST(NextSysExChunk, ShorterRestThanIdealIsTakenWhole) {
    EXPECT_EQ(ChunkLength(std::vector<unsigned char>(1000, 0x01), 2048, 16384), 1000u);
    EXPECT_EQ(ChunkLength(std::vector<unsigned char>(1, 0x01), 2048, 16384), 1u);
}

TEST(NextSysExChunk, RestOfExactlyIdealIsTakenWhole) {
    EXPECT_EQ(ChunkLength(std::vector<unsigned char>(2048, 0x01), 2048, 16384), 2048u);
}

TEST(NextSysExChunk, GrowsUntilTheFirstSysExEnd) {
    EXPECT_EQ(ChunkLength({0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0xF7, 0xF0, 0x06, 0x07}, 4, 100), 7u);
}

TEST(NextSysExChunk, StopsAtIdealWhenItsLastByteIsAlreadyAnEnd) {
    EXPECT_EQ(ChunkLength({0xF0, 0x01, 0x02, 0xF7, 0xF0, 0x03, 0x04, 0xF7}, 4, 100), 4u);
    EXPECT_EQ(ChunkLength({0xF0, 0x01, 0x02, 0x0A, 0x03, 0x04, 0xF7}, 4, 100), 4u);
}

TEST(NextSysExChunk, LineFeedEndsAChunkLikeSysExEnd) {
    EXPECT_EQ(ChunkLength({0xF0, 0x01, 0x02, 0x03, 0x0A, 0x05, 0x06, 0xF7, 0xF0}, 4, 100), 5u);
}

TEST(NextSysExChunk, AnEndBeforeIdealDoesNotShortenTheChunk) {
    // F7 at position 2 lies before the ideal size and is not looked at.
    EXPECT_EQ(ChunkLength({0xF0, 0xF7, 0xF0, 0x01, 0x02, 0x03, 0xF7, 0x04}, 4, 100), 7u);
}

TEST(NextSysExChunk, GrowthStopsAtMax) {
    EXPECT_EQ(ChunkLength(std::vector<unsigned char>(20, 0x01), 4, 6), 6u);
    EXPECT_EQ(ChunkLength(std::vector<unsigned char>(40000, 0x01), 2048, 16384), 16384u);
}

TEST(NextSysExChunk, GrowthStopsAtTheEndOfTheRest) {
    EXPECT_EQ(ChunkLength(std::vector<unsigned char>(9, 0x01), 4, 100), 9u);
}

TEST(NextSysExChunk, IdealAboveMaxGivesExactlyIdeal) {
    EXPECT_EQ(ChunkLength(std::vector<unsigned char>(20, 0x01), 8, 6), 8u);
}

TEST(NextSysExChunk, NeverLooksPastTheRest) {
    // The rest ends before the F7 that follows it in memory: the chunk must stop at the rest's end.
    std::vector<unsigned char> bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xF7};
    const Range<unsigned char> remaining{bytes.data(), bytes.data() + 5};
    const Range<unsigned char> chunk = NextSysExChunk(remaining, 2, 100);
    EXPECT_EQ(chunk.end, remaining.end);
}

TEST(NextSysExChunk, CutsAWholePortionIntoContiguousChunks) {
    // 5000 bytes of 1000-byte SysEx messages, sizes 2048/16384: 3000 (ends with the third F7) and 2000.
    std::vector<unsigned char> portion;
    for (int message = 0; message < 5; ++message) {
        portion.push_back(0xF0);
        portion.insert(portion.end(), 998, 0x11);
        portion.push_back(0xF7);
    }
    Range<unsigned char> remaining = RangeOf(portion);
    std::vector<unsigned long> lengths;
    while (!remaining.Empty()) {
        const Range<unsigned char> chunk = NextSysExChunk(remaining, 2048, 16384);
        ASSERT_EQ(chunk.start, remaining.start);
        lengths.push_back(chunk.Size());
        remaining.TrimFromFront(chunk.Size());
    }
    EXPECT_EQ(lengths, (std::vector<unsigned long>{3000, 2000}));
}

TEST(NextSysExChunkDeathTest, IdealOfZeroStopsTheProgram) {
    // With ideal 0 the rule would look at the byte before the rest, or never advance.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<unsigned char> bytes(10, 0x01);
    EXPECT_DEATH(NextSysExChunk(RangeOf(bytes), 0, 16384), "ideal >= 1.*NextSysExChunk");
}

TEST(PercentageDone, FractionOfTheWholeAlreadySent) {
    std::vector<unsigned char> bytes(200);
    const Range<unsigned char> total = RangeOf(bytes);
    EXPECT_FLOAT_EQ(PercentageDone(total, {bytes.data() + 50, total.end}), 0.25f);
    EXPECT_FLOAT_EQ(PercentageDone(total, total), 0.0f);
    EXPECT_FLOAT_EQ(PercentageDone(total, {total.end, total.end}), 1.0f);
}

TEST(PercentageDone, EmptyTotalIsNotANumber) {
    std::vector<unsigned char> bytes(4);
    const Range<unsigned char> empty{bytes.data(), bytes.data()};
    EXPECT_TRUE(std::isnan(PercentageDone(empty, empty)));
}

TEST(PercentageDoneDeathTest, RangesWithDifferentEndsStopTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<unsigned char> bytes(200);
    const Range<unsigned char> total = RangeOf(bytes);
    EXPECT_DEATH(PercentageDone(total, {bytes.data() + 10, bytes.data() + 100}),
                 "total.end == remaining.end.*PercentageDone");
}

namespace {

// The chunk rule as written: ideal bytes, then one more byte at a time until max bytes, the end
// of the rest, or a last byte of F7 or 0A.
unsigned long ReferenceChunkLength(const unsigned char* start, unsigned long size, unsigned long ideal,
                                   unsigned long max) {
    if (size < ideal)
        return size;
    unsigned long length = ideal;
    for (;;) {
        if (length >= max || length == size)
            return length;
        const unsigned char last = start[length - 1];
        if (last == 0xF7 || last == 0x0A)
            return length;
        ++length;
    }
}

} // namespace

TEST(NextSysExChunk, AgreesWithTheByteByByteRuleOnRandomPortions) {
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        // Few, many or no end bytes, in rests shorter and longer than the sizes.
        const unsigned int ends = random() % 3 == 0 ? 0 : 1 + random() % 40;
        std::vector<unsigned char> bytes(random() % 120);
        for (auto& byte : bytes) {
            const unsigned int pick = random() % 100;
            byte = pick < ends ? (pick % 2 ? 0xF7 : 0x0A) : static_cast<unsigned char>(0x10 + pick);
        }
        const unsigned long ideal = 1 + random() % 40;
        const unsigned long max = random() % 80;
        const Range<unsigned char> remaining = RangeOf(bytes);
        ASSERT_EQ(NextSysExChunk(remaining, ideal, max).Size(),
                  ReferenceChunkLength(bytes.data(), bytes.size(), ideal, max))
            << "round " << round << " ideal " << ideal << " max " << max;
    }
}
