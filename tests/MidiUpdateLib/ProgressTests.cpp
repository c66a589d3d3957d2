#include "Progress.h"
#include "ScriptedMidiPort.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(UpdateProgressConverter, MapsTheStepIntoItsShareOfTheWhole) {
    RecordingProgress parent;
    UpdateProgressConverter converter(parent, 0, 50, 200);
    converter.Progress(0.0f);
    converter.Progress(0.5f);
    converter.Progress(1.0f);
    EXPECT_EQ(parent.Fractions(), (std::vector<float>{0.0f, 0.125f, 0.25f}));
}

TEST(UpdateProgressConverter, LastStepEndsAtOne) {
    RecordingProgress parent;
    UpdateProgressConverter converter(parent, 150, 200, 200);
    converter.Progress(0.0f);
    converter.Progress(1.0f);
    EXPECT_EQ(parent.Fractions(), (std::vector<float>{0.75f, 1.0f}));
}

TEST(UpdateProgressConverter, EmptyStepReportsItsStartForEveryFraction) {
    RecordingProgress parent;
    UpdateProgressConverter converter(parent, 100, 100, 400);
    converter.Progress(0.0f);
    converter.Progress(0.7f);
    converter.Progress(1.0f);
    EXPECT_EQ(parent.Fractions(), (std::vector<float>{0.25f, 0.25f, 0.25f}));
}

TEST(UpdateProgressConverter, EmptyWholeForwardsNotANumber) {
    RecordingProgress parent;
    UpdateProgressConverter converter(parent, 0, 0, 0);
    converter.Progress(0.0f);
    converter.Progress(1.0f);
    ASSERT_EQ(parent.Fractions().size(), 2u);
    EXPECT_TRUE(std::isnan(parent.Fractions()[0]));
    EXPECT_TRUE(std::isnan(parent.Fractions()[1]));
}

TEST(UpdateProgressConverter, PassesEverythingElseThroughOnceAndInOrder) {
    RecordingProgress parent;
    UpdateProgressConverter converter(parent, 10, 20, 40);
    converter.ProgressIndeterminate();
    converter.Status("Checking update status...");
    converter.Error("There was an error sending the update file.\nPlease restart the device and try again.");
    converter.Completed("line one\nline two");
    EXPECT_EQ(
        parent.Lines(),
        (std::vector<std::string>{
            "busy", "status: Checking update status...",
            "error: There was an error sending the update file.\nPlease restart the device and try again.",
            "completed: line one\nline two"}));
}

TEST(UpdateProgressConverterDeathTest, ViolatedPreconditionsStopTheProgramInOrder) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    RecordingProgress parent;
    EXPECT_DEATH(UpdateProgressConverter(parent, 10, 5, 200), "inFrom <= inTo.*UpdateProgressConverter");
    EXPECT_DEATH(UpdateProgressConverter(parent, 0, 300, 200), "inTo <= inOutOf");
    // Both the second and the third check fail; the second is reported.
    EXPECT_DEATH(UpdateProgressConverter(parent, 300, 300, 200), "inFrom <= inOutOf");
    EXPECT_DEATH(UpdateProgressConverter(parent, NAN, 1, 2), "inFrom <= inTo");
}
