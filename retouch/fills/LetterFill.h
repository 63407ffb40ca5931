#pragma once
// 文字補正: repaint only the caption's pixels inside a rectangle, by a
// harmonic (membrane) fill from every pixel around them that is left, so the
// photograph between the letters stays as it is.
#include "SelRect.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace retouch {

// A picture as the fills' callers hold it: W x H 32-bit words (blue, green,
// red, unused), the top row first, stride words from one row to the next.
struct WordPicture {
    uint32_t* words;
    int32_t W, H;
    ptrdiff_t stride;
    uint32_t At(int32_t x, int32_t y) const { return words[y * stride + x]; }
};

// The caption's pixels in rect (normalised, inside the picture): a mask of
// the rectangle's width x height, row by row, 1 where the fill repaints.
// Judged against the pixels just outside the rectangle and strips of its
// size beside it (each stretch of a long rectangle mostly by the strips
// across from it): colours they do not hold, departure from a smooth fill of
// the rectangle, thin bright or dark strokes; weaker evidence joined to
// strong, then grown by a pixel for anti-aliasing, and by a second where
// that ring still shows evidence (an outline, a halo): a clean edge keeps
// the photograph beside it. Parts mostly of weak evidence that the
// un-blending's judge takes for the photo's own (no one grey and opacity,
// edges that stay) are dropped, and so are parts far longer than they are
// wide (a wire, a board's gap: no letter's stroke); translucent marks join
// it as FindTranslucent finds them.
std::vector<uint8_t> FindLetters(const WordPicture& picture, const SelRect& rect);

// Sets the pixels of a disc of diameter d (picture pixels) about (cx, cy) to
// value in mask, a mask of rect; only those inside rect.
void PaintDisc(std::vector<uint8_t>& mask, const SelRect& rect, int cx, int cy, int d, bool value);

// A letter picked by hand at (x, y) inside rect (normalised, inside the
// picture): the pixels connected to it that differ from the rectangle's
// smooth fill the same way it does (the same colour relation to the
// background, within a tolerance). A mask of rect; empty of set pixels when
// (x, y) is no different from the background.
std::vector<uint8_t> PickLetter(const WordPicture& picture, const SelRect& rect, int x, int y);

// Repaints the masked pixels of rect with the harmonic fill (the solution of
// Laplace's equation) whose values are fixed at every unmasked pixel, inside
// the rectangle and around it. Deterministic; converged to well within a
// byte. Nothing outside the mask changes. The mask's parts are filled apart,
// on every core; keepGoing is asked on the calling thread, before each cycle
// of the parts it fills itself, and when it says no, the others stop too,
// nothing is written and the result is false.
bool FillHarmonic(WordPicture& picture, const SelRect& rect, const std::vector<uint8_t>& mask,
                  const std::function<bool()>& keepGoing = {});

} // namespace retouch
