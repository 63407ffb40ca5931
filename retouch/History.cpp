#include "History.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace retouch {

void History::Clear()
{
    steps_.clear();
    next_ = 0;
    bytes_ = 0;
    base_ = ++lastId_;
}

void History::PopBack()
{
    bytes_ -= size_t(steps_.back().pixels.sizeInBytes());
    steps_.pop_back();
}

bool History::Record(const platform::Surface& picture, const SelRect& sel)
{
    if (picture.isNull() || sel.X1 < 0 || sel.Y1 < 0 || sel.X2 < sel.X1 || sel.Y2 < sel.Y1
        || sel.X2 >= picture.width() || sel.Y2 >= picture.height())
        return false;
    while (steps_.size() > next_)
        PopBack();
    Step step{++lastId_, sel.X1, sel.Y1, picture.copy(sel.X1, sel.Y1, sel.X2 - sel.X1 + 1, sel.Y2 - sel.Y1 + 1)};
    if (step.pixels.isNull())
        return false;
    bytes_ += size_t(step.pixels.sizeInBytes());
    steps_.push_back(std::move(step));
    next_ = steps_.size();
    const size_t budget = std::max(size_t(picture.sizeInBytes()), kMinimumBudget);
    while (bytes_ > budget && steps_.size() > 1) {
        bytes_ -= size_t(steps_.front().pixels.sizeInBytes());
        base_ = steps_.front().id;
        steps_.pop_front();
        --next_;
    }
    return true;
}

void History::DropRecorded()
{
    if (!steps_.empty() && next_ == steps_.size()) {
        PopBack();
        next_ = steps_.size();
    }
}

void History::Swap(platform::Surface& picture, Step& step)
{
    const size_t rowBytes = size_t(step.pixels.width()) * 4;
    std::vector<uchar> row(rowBytes);
    for (int y = 0; y < step.pixels.height(); ++y) {
        uchar* a = picture.scanLine(step.y + y) + size_t(step.x) * 4;
        uchar* b = step.pixels.scanLine(y);
        std::memcpy(row.data(), a, rowBytes);
        std::memcpy(a, b, rowBytes);
        std::memcpy(b, row.data(), rowBytes);
    }
}

bool History::Undo(platform::Surface& picture, QRect* changed)
{
    if (!CanUndo())
        return false;
    Step& step = steps_[--next_];
    Swap(picture, step);
    if (changed)
        *changed = QRect(QPoint(step.x, step.y), step.pixels.size());
    return true;
}

bool History::Redo(platform::Surface& picture, QRect* changed)
{
    if (!CanRedo())
        return false;
    Step& step = steps_[next_++];
    Swap(picture, step);
    if (changed)
        *changed = QRect(QPoint(step.x, step.y), step.pixels.size());
    return true;
}

} // namespace retouch
