// The tone bank against the recording fake engine: order, paths, failures, freeing.

#include <gtest/gtest.h>

#include "fake/fake_platform.h"
#include "procedures/procedure_fixture.h"
#include "samples/samples.h"

namespace {

class Bank : public ::testing::Test {
protected:
    void SetUp() override { ResetProgramState(); }
};

TEST_F(Bank, OpensLeftColumnFirstWithTheExactPaths)
{
    Create_Samples();
    const auto creates = CallsOf(fake::AudioOp::Create);
    ASSERT_EQ(creates.size(), 26u);
    const char *firstAndLast[][2] = {
        {"Samples/Sinus_96000L_00125Hz_0dB.wav", "Samples/Sinus_96000L_12000Hz_0dB.wav"},
        {"Samples/Sinus_96000R_00125Hz_0dB.wav", "Samples/Sinus_96000R_12000Hz_0dB.wav"},
    };
    EXPECT_EQ(creates[0].path, firstAndLast[0][0]);
    EXPECT_EQ(creates[12].path, firstAndLast[0][1]);
    EXPECT_EQ(creates[13].path, firstAndLast[1][0]);
    EXPECT_EQ(creates[25].path, firstAndLast[1][1]);
    EXPECT_EQ(creates[9].path, "Samples/Sinus_96000L_06000Hz_0dB.wav");
    for (int ear = 0; ear < 2; ++ear) {
        for (int f = 0; f < 13; ++f) {
            EXPECT_EQ(SinSample[f][ear], creates[ear * 13 + f].handle) << f << "," << ear;
            EXPECT_NE(SinSample[f][ear], 0u);
        }
    }
}

TEST_F(Bank, AMissingFileLeavesZeroInExactlyItsEntry)
{
    fake::FailOpen("Samples/Sinus_96000R_08000Hz_0dB.wav");
    Create_Samples();
    for (int ear = 0; ear < 2; ++ear) {
        for (int f = 0; f < 13; ++f) {
            EXPECT_EQ(SinSample[f][ear] == 0, f == 10 && ear == 1) << f << "," << ear;
        }
    }
}

TEST_F(Bank, FreesEveryEntryFrequencyByFrequencyLeftBeforeRightZerosIncluded)
{
    fake::FailOpen("Samples/Sinus_96000L_00500Hz_0dB.wav");
    Create_Samples();
    Free_Samples();
    const auto frees = CallsOf(fake::AudioOp::Free);
    ASSERT_EQ(frees.size(), 26u);
    for (int f = 0; f < 13; ++f) {
        EXPECT_EQ(frees[2 * f].handle, SinSample[f][0]);
        EXPECT_EQ(frees[2 * f + 1].handle, SinSample[f][1]);
    }
    EXPECT_FALSE(frees[4].live) << "the 0 entry's free does nothing";
    EXPECT_TRUE(fake::Stream(SinSample[0][0]).freed);
}

TEST_F(Bank, FreeingAnEmptyBankIsHarmless)
{
    Free_Samples();
    const auto frees = CallsOf(fake::AudioOp::Free);
    ASSERT_EQ(frees.size(), 26u);
    for (const auto &c : frees) {
        EXPECT_EQ(c.handle, 0u);
        EXPECT_FALSE(c.live);
    }
}

}  // namespace
