#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <vector>

extern "C" void vfw_test_c_rand_sequence(unsigned int seed, int* out, int count);

namespace {

// The generator's own sequence for `seed`: the process's functions must draw from it.
std::vector<long> lrand48Sequence(long seed, int count) {
    srand48(seed);
    std::vector<long> values;
    for (int i = 0; i < count; ++i) {
        values.push_back(lrand48());
    }
    return values;
}

std::vector<long> randomSequence(int count) {
    std::vector<long> values;
    for (int i = 0; i < count; ++i) {
        values.push_back(random());
    }
    return values;
}

TEST(Random, SeededSequencesRepeatThroughEveryName) {
    const std::vector<long> expected = lrand48Sequence(7, 8);
    srand(7);
    EXPECT_EQ(expected, randomSequence(8));
    srandom(7);
    EXPECT_EQ(expected, randomSequence(8));

    int fromC[8];
    for (int run = 0; run < 2; ++run) {
        vfw_test_c_rand_sequence(7, fromC, 8);
        EXPECT_EQ(expected, std::vector<long>(fromC, fromC + 8)) << "run " << run;
    }
    srand(8);
    EXPECT_NE(expected, randomSequence(8));
}

// A fresh process (the death test re-executes this binary) draws without seeding first: its
// numbers are lrand48's from a seed of the time of the first draw, and later draws continue
// that sequence instead of seeding again.
TEST(RandomDeathTest, UnseededDrawsSeedOnceFromTheTime) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const time_t before = time(nullptr);
            const std::vector<long> drawn = randomSequence(4);
            const time_t after = time(nullptr);
            for (time_t seed = before; seed <= after; ++seed) {
                if (lrand48Sequence(seed, 4) == drawn) {
                    std::exit(0);
                }
            }
            std::exit(1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
