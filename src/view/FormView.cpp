#include "view/FormView.h"

#include <algorithm>

namespace kt {

void ProgressBar::SetMax(int max)
{
    max_ = std::max(max, min_);
    position_ = std::min(position_, max_);
    Changed();
}

void ProgressBar::SetPosition(int position)
{
    position_ = std::clamp(position, min_, max_);
    Changed();
}

void ProgressBar::StepBy(int delta)
{
    const long long next = static_cast<long long>(position_) + delta;
    position_ = static_cast<int>(std::clamp<long long>(next, min_, max_));
    Changed();
}

void ProgressBar::Changed()
{
    if (onChange_)
        onChange_(*this);
}

}  // namespace kt
