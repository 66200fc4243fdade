// The order guarantees that every procedure test relies on.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "platform/sys.h"

namespace {

std::vector<std::string> gLog;

void Note(const std::string &who) { gLog.push_back(who + "@" + std::to_string(fake::Now())); }

int SleepThenNoteA(void *)
{
    Note("A start");
    Sys_Sleep(100);
    Note("A");
    return 0;
}

int SleepThenNoteB(void *)
{
    Note("B start");
    Sys_Sleep(100);
    Note("B");
    return 0;
}

int SleepForever(void *flag)
{
    while (*static_cast<volatile int *>(flag) == 0) {
        Sys_Sleep(1000);
    }
    return 0;
}

class FakeClock : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::ResetUi();
        fake::ResetClock();
        gLog.clear();
    }
};

void Schedule(ThreadFunction fn, void *data = nullptr)
{
    Ui_ScheduleThreadPoolFunction(UI_DEFAULT_THREAD_POOL, fn, data, 0, nullptr, 0, nullptr, 0, nullptr);
}

TEST_F(FakeClock, TiesGoTestFirstThenThreadsInSleepOrderThenAfterThreadActions)
{
    fake::At(10, [] {
        Schedule(SleepThenNoteB);
        Schedule(SleepThenNoteA);
        Note("scheduled");
    });
    fake::AtAfterThreads(110, [] { Note("after"); });
    fake::At(110, [] { Note("test"); });
    fake::RunUntil(200);
    EXPECT_EQ(gLog, (std::vector<std::string>{"scheduled@10", "B start@10", "A start@10", "test@110", "B@110",
                                              "A@110", "after@110"}));
    Ui_WaitForThreadPoolFunctions();
}

TEST_F(FakeClock, RunUntilStopsBeforeThreadsWakingAtItsEnd)
{
    Schedule(SleepThenNoteA);
    fake::RunUntil(100);
    EXPECT_EQ(gLog, (std::vector<std::string>{"A start@0"}));
    EXPECT_EQ(fake::LiveThreads(), 1);
    EXPECT_TRUE(fake::RunUntilThreadsEnded(100));
    EXPECT_EQ(gLog.back(), "A@100");
    EXPECT_EQ(fake::Now(), 100);
    Ui_WaitForThreadPoolFunctions();
}

TEST_F(FakeClock, RunUntilThreadsEndedGivesUpAtItsLimit)
{
    int stop = 0;
    Schedule(SleepForever, &stop);
    EXPECT_FALSE(fake::RunUntilThreadsEnded(5500));
    EXPECT_EQ(fake::Now(), 5500);
    EXPECT_EQ(fake::Running(SleepForever), 1);
    stop = 1;
    EXPECT_TRUE(fake::RunUntilThreadsEnded(10'000));
    EXPECT_EQ(fake::Now(), 6000);
    EXPECT_EQ(fake::Running(SleepForever), 0);
    EXPECT_EQ(fake::PeakRunning(SleepForever), 1);
    Ui_WaitForThreadPoolFunctions();
}

TEST_F(FakeClock, ClockSecondsAndScriptedDraws)
{
    fake::SetTimeBase(1000, 600);
    EXPECT_EQ(Sys_Time(), 1000);
    fake::RunUntil(399);
    EXPECT_EQ(Sys_Time(), 1000);
    fake::RunUntil(400);
    EXPECT_EQ(Sys_Time(), 1001);

    Sys_Srand(42);
    const int first = Sys_Rand();
    EXPECT_EQ(first, fake::FirstDrawAfterSeed(42));
    Sys_Srand(42);
    EXPECT_EQ(Sys_Rand(), first) << "one seed, one draw, as the C library";
    fake::QueueRand({7, SYS_RAND_MAX});
    Sys_Srand(43);
    EXPECT_EQ(Sys_Rand(), 7);
    EXPECT_EQ(Sys_Rand(), SYS_RAND_MAX);
    EXPECT_EQ(Sys_Rand(), fake::FirstDrawAfterSeed(43)) << "the queue goes first, then the generator";

    const auto log = fake::RandLog();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_TRUE(log[0].isSeed);
    EXPECT_EQ(log[0].t, 400);
    EXPECT_EQ(log[4].seed, 43u);
    EXPECT_TRUE(log[5].scripted);
    EXPECT_FALSE(log[7].scripted);
}

}  // namespace
