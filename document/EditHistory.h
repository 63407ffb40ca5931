#pragma once
// Undo and redo of a picture's edits. An edit changes only the pixels of its
// rectangle, so each step keeps just those, as they were on the other side
// of that step: undoing or redoing swaps them with the picture's, and a
// caption's step costs kilobytes, never a copy of the picture.
//
// The history also marks where the picture was last saved, and where it
// last matched the file a lossless save keeps blocks from, so "changed?" and
// "which pixels differ from that file" are answered from the steps
// themselves and cannot drift from what undo and redo did.
#include "SelRect.h"
#include "Surface.h"

#include <QRect>

#include <cstdint>
#include <deque>
#include <vector>

namespace document {

// 文字補正's mask: which pixels of rect (ordered, clamped) the fill
// repaints, row by row. The user corrects it with the brush and picks, so
// it is part of the document's state, and its changes are steps too.
struct LetterMask {
    retouch::SelRect rect{};
    std::vector<uint8_t> bits;
    bool empty() const { return bits.empty(); }
    bool Of(const retouch::SelRect& r) const { return !empty() && rect == r; }
    size_t Index(int x, int y) const { return size_t(y - rect.Y1) * size_t(rect.X2 - rect.X1 + 1) + size_t(x - rect.X1); }
};

class EditHistory {
public:
    // What the kept steps may take at the least, whatever the picture's size:
    // a small picture keeps a long history of large retouches too.
    static constexpr size_t kMinimumBudget = size_t(64) << 20;

    // Forgets every step (another picture was opened); the picture as it is
    // now is both the saved one and the origin.
    void Clear();

    // Keeps the pixels of the ordered, clamped rectangle sel as they are,
    // before an edit changes them, as a new step. Drops the steps that could
    // be redone, and the oldest ones while the kept steps together exceed
    // the picture's own size (or kMinimumBudget, when larger). False when
    // the memory for them cannot be had; nothing is recorded then.
    bool Record(const platform::Surface& picture, const retouch::SelRect& sel);
    // Keeps the letter mask as it is, before it is replaced or corrected, as
    // a new step (which changes no pixel).
    bool RecordMask(const LetterMask& mask);
    // The edit just recorded did not happen after all.
    void DropRecorded();

    bool CanUndo() const { return next_ > 0; }
    bool CanRedo() const { return next_ < steps_.size(); }
    // Take back the last step / do again the next one. False when there is
    // none. changed receives the rectangle of pixels that changed (empty
    // for a step of the mask's).
    bool Undo(platform::Surface& picture, LetterMask& mask, QRect* changed = nullptr);
    bool Redo(platform::Surface& picture, LetterMask& mask, QRect* changed = nullptr);

    // The picture as it is now was saved; and is what the origin file
    // holds (the file a lossless save keeps blocks from).
    void MarkSaved() { saved_ = Mark{next_, {}}; }
    void MarkOrigin() { origin_ = Mark{next_, {}}; }
    // True when the picture differs from the one last saved or opened.
    bool IsChanged() const { return !saved_.detour.empty() || PixelsBetween(saved_.at, next_); }
    // The rectangles whose pixels may differ from the origin file: every
    // step between that state and now, in either direction, and the steps a
    // new edit dropped on the way.
    std::vector<QRect> ChangedSinceOrigin() const;

    // The bytes the kept steps take.
    size_t Bytes() const { return bytes_; }
    size_t Steps() const { return steps_.size(); }

private:
    struct Step {
        int32_t x, y;
        platform::Surface pixels; // the rectangle on the other side of this step; null for the mask's
        LetterMask mask;          // the mask on the other side of a step of the mask's
        QRect Rect() const { return QRect(QPoint(x, y), pixels.size()); }
        bool OfPixels() const { return !pixels.isNull(); }
        size_t Bytes() const { return size_t(pixels.sizeInBytes()) + mask.bits.size(); }
    };
    // A picture state outside the steps' own: it is reached from the state
    // after steps_[0 .. at) by taking back the rectangles in detour, the
    // steps dropped while the way from it to now went through them (undone
    // and then replaced by a new edit, or the oldest ones).
    struct Mark {
        size_t at = 0;
        std::vector<QRect> detour;
    };
    static void Swap(platform::Surface& picture, LetterMask& mask, Step& step);
    bool Push(Step step);
    bool PixelsBetween(size_t a, size_t b) const;
    void PopBack();
    void DroppingRedo(Mark& mark) const;
    void DroppingFront(Mark& mark) const;

    std::deque<Step> steps_;
    size_t next_ = 0; // steps_[0 .. next_) are done
    Mark saved_, origin_;
    size_t bytes_ = 0;
    size_t budget_ = kMinimumBudget; // the picture's own size, at the least kMinimumBudget
};

} // namespace document
