#pragma once
// Undo and redo of retouches. A fill changes only the pixels of its
// rectangle, so each step keeps just those, as they were on the other side
// of that step: undoing or redoing swaps them with the picture's, and a
// caption's step costs kilobytes, never a copy of the picture.
#include "SelRect.h"
#include "Surface.h"

#include <QRect>

#include <cstdint>
#include <deque>

namespace retouch {

class History {
public:
    // What the kept steps may take at the least, whatever the picture's size:
    // a small picture keeps a long history of large retouches too.
    static constexpr size_t kMinimumBudget = size_t(64) << 20;

    // Forgets every step (another picture was opened).
    void Clear();

    // Keeps the pixels of the ordered, clamped rectangle sel as they are,
    // before a retouch changes them, as a new step. Drops the steps that
    // could be redone, and the oldest ones while the kept steps together
    // exceed the picture's own size (or kMinimumBudget, when larger). False
    // when the memory for them cannot be had.
    bool Record(const platform::Surface& picture, const SelRect& sel);
    // The retouch just recorded did not happen after all.
    void DropRecorded();

    bool CanUndo() const { return next_ > 0; }
    bool CanRedo() const { return next_ < steps_.size(); }
    // Take back the last step / do again the next one. False when there is
    // none. changed receives the rectangle of pixels that changed.
    bool Undo(platform::Surface& picture, QRect* changed = nullptr);
    bool Redo(platform::Surface& picture, QRect* changed = nullptr);

    // Names the picture's state: equal numbers, equal pictures. A state that
    // was dropped from the history never comes back.
    uint64_t State() const { return next_ == 0 ? base_ : steps_[next_ - 1].id; }
    // The bytes the kept steps take.
    size_t Bytes() const { return bytes_; }
    size_t Steps() const { return steps_.size(); }

private:
    struct Step {
        uint64_t id;
        int32_t x, y;
        platform::Surface pixels; // the rectangle on the other side of this step
    };
    static void Swap(platform::Surface& picture, Step& step);
    void PopBack();

    std::deque<Step> steps_;
    size_t next_ = 0;   // steps_[0 .. next_) are done
    uint64_t base_ = 0; // the state before steps_[0]
    uint64_t lastId_ = 0;
    size_t bytes_ = 0;
};

} // namespace retouch
