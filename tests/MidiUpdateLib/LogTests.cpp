#include "Log.h"
#include "Utilities.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

TEST(LogLineTest, WritesOneStampedLineToStandardError) {
    testing::internal::CaptureStderr();
    LogLine("Trace: hello");
    LogLine("Trace: with newline\n");
    const std::string written = testing::internal::GetCapturedStderr();
    const std::regex line(
        R"(^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} [^ \[]+\[[0-9]+\] )"
        R"(Trace: hello\n)"
        R"([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:.]{12} [^ \[]+\[[0-9]+\] Trace: with newline\n$)");
    EXPECT_TRUE(std::regex_match(written, line)) << written;
}

TEST(LogLineTest, TraceGoesToStandardErrorWithoutACapture) {
    testing::internal::CaptureStderr();
    Trace("%s: %u\n", "Step", 7u);
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("] Trace: Step: 7\n"), std::string::npos) << written;
    EXPECT_EQ(written.find("\n\n"), std::string::npos);
}

TEST(LogSinkTest, SetLogSinkReturnsThePreviousSink) {
    std::vector<std::string> seen;
    LogSink old = SetLogSink([&](const std::string& text) { seen.push_back(text); });
    LogLine("one");
    LogSink mine = SetLogSink(old);
    ASSERT_TRUE(mine);
    mine("two");
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "two"}));
}

TEST(LogSinkTest, NestedCapturesRestoreTheOuterOne) {
    ScopedLogCapture outer;
    LogLine("a");
    {
        ScopedLogCapture inner;
        LogLine("b");
        EXPECT_EQ(inner.Lines(), (std::vector<std::string>{"b"}));
    }
    LogLine("c");
    EXPECT_EQ(outer.Lines(), (std::vector<std::string>{"a", "c"}));
}
