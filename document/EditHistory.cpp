#include "EditHistory.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace document {

void EditHistory::Clear()
{
    steps_.clear();
    next_ = 0;
    bytes_ = 0;
    MarkSaved();
    MarkOrigin();
}

std::vector<QRect> EditHistory::ChangedSinceOrigin() const
{
    std::vector<QRect> rects = origin_.detour;
    for (size_t i = std::min(origin_.at, next_); i < std::max(origin_.at, next_); ++i)
        if (steps_[i].OfPixels())
            rects.push_back(steps_[i].Rect());
    return rects;
}

bool EditHistory::PixelsBetween(size_t a, size_t b) const
{
    for (size_t i = std::min(a, b); i < std::max(a, b); ++i)
        if (steps_[i].OfPixels())
            return true;
    return false;
}

void EditHistory::DroppingRedo(Mark& mark) const
{
    // The steps that could be redone go. When the marked picture lay among
    // them, the way back to it now runs through their rectangles.
    for (size_t i = next_; i < mark.at; ++i)
        if (steps_[i].OfPixels())
            mark.detour.push_back(steps_[i].Rect());
    mark.at = std::min(mark.at, next_);
}

void EditHistory::DroppingFront(Mark& mark) const
{
    if (mark.at == 0) {
        if (steps_.front().OfPixels())
            mark.detour.push_back(steps_.front().Rect()); // marked before the step that goes
    } else {
        --mark.at;
    }
}

void EditHistory::PopBack()
{
    bytes_ -= steps_.back().Bytes();
    steps_.pop_back();
}

bool EditHistory::Record(const platform::Surface& picture, const retouch::SelRect& sel)
{
    if (picture.isNull() || sel.X1 < 0 || sel.Y1 < 0 || sel.X2 < sel.X1 || sel.Y2 < sel.Y1
        || sel.X2 >= picture.width() || sel.Y2 >= picture.height())
        return false;
    Step step{sel.X1, sel.Y1, picture.copy(sel.X1, sel.Y1, sel.X2 - sel.X1 + 1, sel.Y2 - sel.Y1 + 1), {}};
    if (step.pixels.isNull())
        return false;
    budget_ = std::max(size_t(picture.sizeInBytes()), kMinimumBudget);
    return Push(std::move(step));
}

bool EditHistory::RecordMask(const LetterMask& mask)
{
    return Push(Step{0, 0, platform::Surface(), mask});
}

bool EditHistory::Push(Step step)
{
    DroppingRedo(saved_);
    DroppingRedo(origin_);
    while (steps_.size() > next_)
        PopBack();
    bytes_ += step.Bytes();
    steps_.push_back(std::move(step));
    next_ = steps_.size();
    while (bytes_ > budget_ && steps_.size() > 1) {
        DroppingFront(saved_);
        DroppingFront(origin_);
        bytes_ -= steps_.front().Bytes();
        steps_.pop_front();
        --next_;
    }
    return true;
}

void EditHistory::DropRecorded()
{
    if (!steps_.empty() && next_ == steps_.size()) {
        PopBack();
        next_ = steps_.size();
    }
}

void EditHistory::Swap(platform::Surface& picture, LetterMask& mask, Step& step)
{
    if (!step.OfPixels()) {
        std::swap(mask, step.mask);
        return;
    }
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

bool EditHistory::Undo(platform::Surface& picture, LetterMask& mask, QRect* changed)
{
    if (!CanUndo())
        return false;
    Step& step = steps_[--next_];
    Swap(picture, mask, step);
    if (changed)
        *changed = step.OfPixels() ? step.Rect() : QRect();
    return true;
}

bool EditHistory::Redo(platform::Surface& picture, LetterMask& mask, QRect* changed)
{
    if (!CanRedo())
        return false;
    Step& step = steps_[next_++];
    Swap(picture, mask, step);
    if (changed)
        *changed = step.OfPixels() ? step.Rect() : QRect();
    return true;
}

} // namespace document
