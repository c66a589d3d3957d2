#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <streambuf>

TEST(IsSysExFileTest, FramingAndStreamPosition) {
    struct Case {
        Bytes bytes;
        bool sysEx;
    };
    const std::vector<Case> cases = {
        {{0xF0, 0x01, 0x02, 0xF7}, true},
        {{0xF0, 0xF7}, true},
        {{0xF0, 0xF7, 0x12, 0x34}, true},
        {{0xF0, 0x00, 0x00}, false},
        {{0xF0}, false},
        {{0xF7, 0xF0, 0xF7}, false},
        {{}, false},
        {{0x00, 0xF0, 0xF7}, false},
        {SmallHeader(), false},
    };
    for (const Case& c : cases) {
        auto stream = StreamOf(c.bytes);
        stream.seekg(static_cast<std::streamoff>(c.bytes.size() / 2)); // positioned anywhere
        EXPECT_EQ(IsSysExFile(stream), c.sysEx) << ToString(c.bytes);
        if (c.sysEx || (!c.bytes.empty() && c.bytes[0] != 0xF0)) {
            EXPECT_TRUE(stream.good());
            EXPECT_EQ(stream.tellg(), std::streampos(0));
        }
    }
}

TEST(IsSysExFileTest, FindsAnEndByteBeyondTheFirstBlock) {
    for (std::size_t at : {std::size_t{1}, std::size_t{65535}, std::size_t{65536}, std::size_t{65537},
                           std::size_t{131073}, std::size_t{200000}}) {
        Bytes bytes(at + 3, 0x11);
        bytes[0] = 0xF0;
        bytes[at] = 0xF7;
        auto stream = StreamOf(bytes);
        EXPECT_TRUE(IsSysExFile(stream)) << at;
        EXPECT_EQ(stream.tellg(), std::streampos(0));
        Bytes without = bytes;
        without[at] = 0x11;
        auto other = StreamOf(without);
        EXPECT_FALSE(IsSysExFile(other)) << at;
    }
}

TEST(IsSysExFileTest, StreamNotGoodOnEntry) {
    std::ifstream missing("/nonexistent/dir/file.syx", std::ios::binary);
    EXPECT_FALSE(IsSysExFile(missing));
    auto eof = StreamOf({0xF0, 0xF7});
    eof.setstate(std::ios::eofbit);
    EXPECT_FALSE(IsSysExFile(eof));
}

TEST(StreamSizeTest, SizeAndBackToStart) {
    auto stream = StreamOf(Bytes(1234, 1));
    stream.seekg(100);
    EXPECT_EQ(StreamSize(stream), 1234u);
    EXPECT_EQ(stream.tellg(), std::streampos(0));
    auto empty = StreamOf({});
    EXPECT_EQ(StreamSize(empty), 0u);
}

TEST(RawSysExFile, BecomesOnePortionWithFixedFields) {
    const Bytes bytes = {0xF0, 0x01, 0x02, 0xF7};
    const Update update = ReadBack(bytes);
    EXPECT_EQ(update.productName, "<SysEx Update Device>");
    EXPECT_EQ(update.message, SYSEX_MESSAGE);
    EXPECT_EQ(update.version.ToString(), "0.00");
    EXPECT_TRUE(update.macPortNames.empty());
    EXPECT_TRUE(update.windowsParameters.names.empty());
    EXPECT_EQ(update.windowsParameters.max, 3072);
    EXPECT_EQ(update.usbAddress, unknownUsbAddress);
    EXPECT_TRUE(update.image.empty());
    ASSERT_EQ(update.sysExPortions.size(), 1u);
    EXPECT_EQ(update.sysExPortions[0].data, bytes);
    EXPECT_EQ(update.sysExPortions[0].delay, 0u);
}

TEST(RawSysExFile, KeepsEveryByteOfTheFile) {
    for (const Bytes& bytes :
         {Bytes{0xF0, 0xF7}, Bytes{0xF0, 0xF7, 0x12, 0x34}, Bytes{0xF0, 0x01, 0xF7, 0xF0, 0x02, 0x03, 0xF7},
          Bytes{0xF0, 0xF0, 0xF7, 0xF0}}) {
        const Update update = ReadBack(bytes);
        ASSERT_EQ(update.sysExPortions.size(), 1u);
        EXPECT_EQ(update.sysExPortions[0].data, bytes);
    }
    Bytes big(250000, 0x33);
    big[0] = 0xF0;
    big[180000] = 0xF7;
    EXPECT_EQ(ReadBack(big).sysExPortions.at(0).data, big);
}

TEST(RawSysExFile, NotFramedGoesToTheUpdateReader) {
    EXPECT_EQ(ParseFailure({0xF0, 0x00, 0x00}), badHeader);
    EXPECT_EQ(ParseFailure({0xF0}), badHeader);
    EXPECT_EQ(ParseFailure({0xF7, 0x01, 0xF7}), badHeader);
    std::ifstream missing("/nonexistent/dir/file.upd", std::ios::binary);
    try {
        Update update(missing);
        ADD_FAILURE() << "accepted a stream that failed to open";
    } catch (const ParseError& error) {
        EXPECT_EQ(std::string(error.what()), badHeader);
    }
}

namespace {
// Claims a larger size than it delivers, like a file that shrinks while it is read.
class ShrinkingBuffer : public std::streambuf {
public:
    ShrinkingBuffer(Bytes bytes, std::streamoff claimed) : bytes(std::move(bytes)), claimed(claimed) {
        Rewind(0);
    }

protected:
    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode) override {
        if (dir == std::ios::end) { // pretend to stand at the claimed end
            Rewind(static_cast<off_type>(bytes.size()));
            beyond = claimed + off - static_cast<off_type>(bytes.size());
            return pos_type(claimed + off);
        }
        if (dir == std::ios::cur)
            return pos_type(gptr() - eback() + beyond + off);
        return Rewind(off);
    }
    pos_type seekpos(pos_type pos, std::ios::openmode) override { return Rewind(pos); }

private:
    pos_type Rewind(off_type off) {
        beyond = 0;
        char* base = reinterpret_cast<char*>(bytes.data());
        setg(base, base + std::min<off_type>(off, bytes.size()), base + bytes.size());
        return pos_type(off);
    }
    Bytes bytes;
    std::streamoff claimed;
    std::streamoff beyond = 0;
};
} // namespace

TEST(RawSysExFile, FewerBytesThanItsSize) {
    ShrinkingBuffer buffer({0xF0, 0x01, 0xF7, 0x00}, 10);
    std::istream stream(&buffer);
    try {
        Update update(stream);
        ADD_FAILURE() << "accepted a short read";
    } catch (const ParseError& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to load all of the sysex file. (Got:4 was;10)");
    }
}
