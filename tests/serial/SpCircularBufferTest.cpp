#include "serial/SpCircularBuffer.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

namespace kt::serial {
namespace {

struct Step {
    enum Kind { Write, Remove } kind;
    int count;
    bool accepted;
};

struct RingCase {
    const char* name;
    std::vector<Step> steps;
    int used;
    int linear;
};

std::ostream& operator<<(std::ostream& os, const RingCase& c)
{
    return os << c.name;
}

class RingSequence : public ::testing::TestWithParam<RingCase> {};

TEST_P(RingSequence, EndsWithExpectedFill)
{
    const RingCase& c = GetParam();
    TSpCircularBuffer ring(8);
    const std::string source(16, 'x');
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const Step& step = c.steps[i];
        const int usedBefore = ring.BufUsed();
        const bool ok = step.kind == Step::Write ? ring.Write(source.data(), step.count) : ring.Remove(step.count);
        EXPECT_EQ(ok, step.accepted) << "step " << i;
        if (!ok) {
            EXPECT_EQ(ring.BufUsed(), usedBefore) << "a refused step changed the ring, step " << i;
        }
    }
    EXPECT_EQ(ring.BufUsed(), c.used);
    EXPECT_EQ(ring.BufFree(), 8 - c.used);
    EXPECT_EQ(ring.LinearUsed(), c.linear);
}

constexpr auto W = Step::Write;
constexpr auto R = Step::Remove;

INSTANTIATE_TEST_SUITE_P(
    Capacity8, RingSequence,
    ::testing::Values(RingCase{"FillToCapacityThenRefuseOneMore", {{W, 8, true}, {W, 1, false}}, 8, 8},
                      RingCase{"WriteOfZeroIsRefused", {{W, 0, false}}, 0, 0},
                      RingCase{"RemoveOfZeroKeepsTheRingFull", {{W, 8, true}, {R, 0, true}}, 8, 8},
                      RingCase{"RemoveOfMoreThanHeldChangesNothing", {{W, 3, true}, {R, 4, false}}, 3, 3},
                      RingCase{"NegativeRemoveIsRefused", {{W, 3, true}, {R, -1, false}}, 3, 3},
                      RingCase{"WriteBeyondFreeSpaceQueuesNothing", {{W, 3, true}, {W, 6, false}}, 3, 3},
                      RingCase{
                          "WrappedWriteStopsLinearAtEndOfStorage", {{W, 6, true}, {R, 6, true}, {W, 5, true}}, 5, 2},
                      RingCase{"AfterRemovingTheTailLinearGivesTheRestFromStart",
                               {{W, 6, true}, {R, 6, true}, {W, 5, true}, {R, 2, true}},
                               3,
                               3},
                      RingCase{"FullAfterWrapReadsToEndOfStorage", {{W, 6, true}, {R, 6, true}, {W, 8, true}}, 8, 2},
                      RingCase{"EmptiedRingAcceptsAFullWriteAgain", {{W, 8, true}, {R, 8, true}, {W, 8, true}}, 8, 8}),
    [](const auto& row) { return std::string(row.param.name); });

// Reads everything through ReadPtr/LinearUsed, the way the write thread sends.
std::string drain(TSpCircularBuffer& ring)
{
    std::string out;
    while (ring.BufUsed() > 0) {
        const int piece = ring.LinearUsed();
        out.append(ring.ReadPtr(), static_cast<std::size_t>(piece));
        EXPECT_TRUE(ring.Remove(piece));
    }
    return out;
}

TEST(SpCircularBuffer, WrappedWriteKeepsByteOrderIncludingZeros)
{
    TSpCircularBuffer ring(8);
    ASSERT_TRUE(ring.Write("123456", 6));
    ASSERT_TRUE(ring.Remove(6));
    const std::string frame(
        "\x1b"
        "A\0B\r",
        5);
    ASSERT_TRUE(ring.Write(frame.data(), 5));
    EXPECT_EQ(drain(ring), frame);
}

TEST(SpCircularBuffer, ClearEmptiesAFullRing)
{
    TSpCircularBuffer ring(4);
    ASSERT_TRUE(ring.Write("abcd", 4));
    ring.Clear();
    EXPECT_EQ(ring.BufUsed(), 0);
    EXPECT_EQ(ring.BufFree(), 4);
    ASSERT_TRUE(ring.Write("xy", 2));
    EXPECT_EQ(drain(ring), "xy");
}

// Random writes and partial removes, checked byte for byte against a plain queue.
TEST(SpCircularBuffer, MatchesAQueueUnderRandomTraffic)
{
    constexpr int kCapacity = 7;
    TSpCircularBuffer ring(kCapacity);
    std::deque<char> model;
    std::mt19937 random(20240611);
    char next = 0;
    for (int round = 0; round < 5000; ++round) {
        if (random() % 2 == 0) {
            const int count = static_cast<int>(random() % (kCapacity + 2));
            std::string data;
            for (int i = 0; i < count; ++i)
                data.push_back(next++);
            const bool fits = count >= 1 && count <= kCapacity - static_cast<int>(model.size());
            ASSERT_EQ(ring.Write(data.data(), count), fits) << "round " << round;
            if (fits)
                model.insert(model.end(), data.begin(), data.end());
        } else {
            const int linear = ring.LinearUsed();
            const int count = linear == 0 ? 0 : static_cast<int>(random() % linear) + 1;
            ASSERT_EQ(std::string(ring.ReadPtr(), static_cast<std::size_t>(count)),
                      std::string(model.begin(), model.begin() + count))
                << "round " << round;
            ASSERT_TRUE(ring.Remove(count));
            model.erase(model.begin(), model.begin() + count);
        }
        ASSERT_EQ(ring.BufUsed(), static_cast<int>(model.size())) << "round " << round;
    }
}

}  // namespace
}  // namespace kt::serial
