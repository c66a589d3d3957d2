// The texts pack takes: --version, --usb-address, --portion FILE@DELAY, --win-params.
// Catches: a bound off by one (65536, 32 bits), a sign, blank or stray character accepted, a refusal
// that does not quote the text, a pause split off a name that is not FILE@NUMBER.
#include "PackArguments.h"

#include <gmock/gmock.h>

using testing::HasSubstr;
using testing::ThrowsMessage;

TEST(PackArguments, AcceptsTheLimitsAndRefusesTheRestQuotingIt) {
    EXPECT_EQ(ParseVersion("65535.65535").ToString(), "65535.65535");
    EXPECT_EQ(ParseVersion("1.5").ToString(), "1.05");
    EXPECT_EQ(ParseUsbAddress("65535,0,4660"), (UsbAddress{65535, 0, 4660}));
    EXPECT_EQ(ParseUsbAddress(""), unknownUsbAddress);
    for (const std::string text :
         {"1", "1.x", "70000.1", "1.65536", "", "1.", ".5", "-1.5", "1.5.0", "1,5", " 1.5", "0x1.2"})
        EXPECT_THAT([&] { ParseVersion(text); }, ThrowsMessage<PackUsageError>(HasSubstr("'" + text + "'")));
    for (const std::string text :
         {"1,2", "1,2,3,4", "1,2,x", "1,2,65536", "1,,3", "1,2,3,", "-1,2,3", ",1,2"})
        EXPECT_THAT([&] { ParseUsbAddress(text); },
                    ThrowsMessage<PackUsageError>(HasSubstr("'" + text + "'")));
    EXPECT_NO_THROW(CheckWindowsParameters("win:x:ideal:5"));
    EXPECT_THROW(CheckWindowsParameters("WIN:x:ideal:5"), PackUsageError);
}

// A pause is split off only when all after the last '@' is a number of 32 bits: "path|delay". The last
// '@' counts; a name that is only a pause is a name; nothing, 2^32, a stray character or a sign after it
// is no pause.
TEST(PackArguments, PortionSource) {
    std::string got;
    for (const char* argument :
         {"a.syx@250", "a.syx", "a@b@12", "@250", "a.syx@", "a.syx@4294967296", "a.syx@2x0", "a.syx@+5"}) {
        const PortionSource source = ParsePortionSource(argument);
        got += source.path + "|" + std::to_string(source.delay) + " ";
    }
    EXPECT_EQ(got, "a.syx|250 a.syx|0 a@b|12 @250|0 a.syx@|0 a.syx@4294967296|0 a.syx@2x0|0 a.syx@+5|0 ");
}
