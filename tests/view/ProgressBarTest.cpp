#include "view/FormView.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

namespace kt {
namespace {

// A sequence of moves applied to a fresh bar, and where it must end.
struct ProgressCase {
    std::string name;
    std::function<void(ProgressBar&)> moves;
    int max;
    int position;
};

class ProgressMoves : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressMoves, EndWithinTheBar)
{
    ProgressBar bar;
    int changes = 0;
    bar.OnChange([&](const ProgressBar& b) {
        ++changes;
        // Every observer sees a bar that a native control could draw.
        EXPECT_LE(b.Min(), b.Position());
        EXPECT_LE(b.Position(), b.Max());
    });
    GetParam().moves(bar);
    EXPECT_EQ(bar.Max(), GetParam().max);
    EXPECT_EQ(bar.Position(), GetParam().position);
    EXPECT_GT(changes, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressMoves,
                         ::testing::Values(ProgressCase{"StepsAddUp",
                                                        [](ProgressBar& b) {
                                                            b.SetMax(10);
                                                            b.StepBy(3);
                                                            b.StepBy(4);
                                                        },
                                                        10, 7},
                                           ProgressCase{"StepStopsAtTheEnd",
                                                        [](ProgressBar& b) {
                                                            b.SetMax(5);
                                                            b.StepBy(4);
                                                            b.StepBy(4);
                                                        },
                                                        5, 5},
                                           ProgressCase{"HugeStepDoesNotOverflow",
                                                        [](ProgressBar& b) {
                                                            b.SetMax(5);
                                                            b.StepBy(1);
                                                            b.StepBy(INT_MAX);
                                                        },
                                                        5, 5},
                                           ProgressCase{"NegativeStepStopsAtTheStart",
                                                        [](ProgressBar& b) {
                                                            b.SetMax(5);
                                                            b.StepBy(2);
                                                            b.StepBy(INT_MIN);
                                                        },
                                                        5, 0},
                                           ProgressCase{"PositionBeyondTheEndIsTheEnd",
                                                        [](ProgressBar& b) {
                                                            b.SetMax(8);
                                                            b.SetPosition(20);
                                                        },
                                                        8, 8},
                                           ProgressCase{"PositionBeforeTheStartIsTheStart",
                                                        [](ProgressBar& b) {
                                                            b.SetMax(8);
                                                            b.SetPosition(-3);
                                                        },
                                                        8, 0},
                                           ProgressCase{"ShorterBarPullsThePositionBack",
                                                        [](ProgressBar& b) {
                                                            b.SetMax(100);
                                                            b.SetPosition(90);
                                                            b.SetMax(40);
                                                        },
                                                        40, 40},
                                           ProgressCase{"MaxBelowMinIsAnEmptyBar", [](ProgressBar& b) { b.SetMax(-7); },
                                                        0, 0},
                                           ProgressCase{"ToMinRestarts",
                                                        [](ProgressBar& b) {
                                                            b.SetMax(9);
                                                            b.StepBy(6);
                                                            b.SetToMin();
                                                        },
                                                        9, 0}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kt
