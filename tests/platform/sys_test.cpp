// The real generator as the procedures use it: seeded with the calendar second before
// every draw. A listener must not be able to learn the pause, nor hear the pitch walk.
#include "platform/sys.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// One draw per second over an hour, as the procedures take them.
std::vector<int> hourOfDraws(std::int64_t firstSecond, int modulus)
{
    std::vector<int> draws;
    for (std::int64_t t = firstSecond; t < firstSecond + 3600; ++t) {
        Sys_Srand(static_cast<unsigned>(t));
        draws.push_back(Sys_Rand() % modulus);
    }
    return draws;
}

double lagOneCorrelation(const std::vector<int> &x)
{
    double ma = 0, mb = 0;
    const std::size_t n = x.size() - 1;
    for (std::size_t i = 0; i < n; ++i) {
        ma += x[i];
        mb += x[i + 1];
    }
    ma /= n;
    mb /= n;
    double sab = 0, saa = 0, sbb = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sab += (x[i] - ma) * (x[i + 1] - mb);
        saa += (x[i] - ma) * (x[i] - ma);
        sbb += (x[i + 1] - mb) * (x[i + 1] - mb);
    }
    return sab / std::sqrt(saa * sbb);
}

struct DrawRow {
    std::int64_t firstSecond;
    int modulus;  // 50000: the default band width's offsets; 2000: the audiometry's pause spread
};

class SeededDraws : public ::testing::TestWithParam<DrawRow> {};

TEST_P(SeededDraws, FillEveryTenthOfTheRangeAndForgetThePreviousSecond)
{
    const auto [firstSecond, modulus] = GetParam();
    const std::vector<int> draws = hourOfDraws(firstSecond, modulus);
    std::array<int, 10> tenths{};
    for (const int d : draws) ++tenths[static_cast<std::size_t>(d * 10 / modulus)];
    for (std::size_t i = 0; i < tenths.size(); ++i) {
        const double share = tenths[i] / 3600.0;
        EXPECT_NEAR(share, 0.10, 0.03) << "tenth " << i;
    }
    EXPECT_LT(std::abs(lagOneCorrelation(draws)), 0.1);

    int falling = 0;
    for (std::size_t i = 1; i < draws.size(); ++i) falling += draws[i] < draws[i - 1];
    EXPECT_NEAR(falling / 3599.0, 0.5, 0.05) << "successive draws walk one way";
}

INSTANTIATE_TEST_SUITE_P(Hours, SeededDraws,
                         ::testing::Values(DrawRow{1'765'000'000, 50000}, DrawRow{1'765'000'000, 2000},
                                           DrawRow{1'800'003'600, 50000}, DrawRow{1'800'003'600, 2000}));

TEST(SeededDraws, OneSecondOneValue)
{
    Sys_Srand(1'765'000'123u);
    const int first = Sys_Rand();
    Sys_Srand(1'765'000'123u);
    EXPECT_EQ(Sys_Rand(), first);
}

}  // namespace
