#pragma once
// 文字補正 of a translucent mark: a grey mark blended over the photograph,
// I = a·c + (1 − a)·B (c its grey, a its opacity times its coverage), still
// shows the photo through it. Where a part of the letter mask is such a
// mark, the photo is recovered by un-blending instead of being painted over
// by the harmonic fill. Parts for which that is unsafe keep the fill.
#include "LetterFill.h"

#include <cstdint>
#include <vector>

namespace retouch {

// Why a part of the mask keeps the harmonic fill.
enum class Refusal : uint8_t {
    None,     // translucent: un-blended
    Thin,     // strokes too thin to tell their coverage from their opacity,
              // over a smooth background
    ThinOnTexture, // the same over the photo's texture: too thin to tell a
                   // mark from the texture's own specks
    Opaque,   // nothing of the photo left under it
    Faint,    // too little of a mark to recover anything from
    Coloured, // not one grey: the channels disagree on the opacity
    Uneven,   // no one opacity over the strokes: not a blended mark
    Smooth,   // a smooth background: the fill is as good, and the inversion
              // would magnify compression error by 1 / (1 − a)
    EdgesStay // un-blended, its edges would still stand out: no such mark
};

// The verdict on one part of the mask.
struct MarkEstimate {
    Refusal refusal = Refusal::Thin;
    float colour = 0;  // c, the grey of the mark
    float opacity = 0; // A, one opacity for the whole part
};

// Per pixel of a mask of rect: how 文字補正 repairs it.
enum Repair : uint8_t { kUnmasked = 0, kFilled = 1, kUnblended = 2 };

// Judges every 8-connected part of mask (a mask of rect): original is the
// picture, filled the same with the harmonic fill of mask applied (B0 at the
// masked pixels). One grey and one opacity are estimated from the part's
// inner pixels against B0: each pixel's own opacity (I − B0) / (c − B0),
// over the channels, and of those that carry the mark the median (the
// photo's dark or bright detail under a stroke pulls a sum, not a median).
// apply: every part judged translucent is written into filled un-blended,
// B = (I − A·cov·c) / (1 − A·cov), its coverage cov per pixel from the
// median opacity of the pixel and its four neighbours. Returns the repair
// per pixel of rect; estimates, when given, receives the verdict per part
// in the order of their first pixels. The mask is the mark here (found or
// drawn by hand): a part whose edges keep up to four fifths of their step
// once un-blended (a mark over foliage) is still un-blended, where finding
// a mark (MarkLike, FindTranslucent) asks for less; and a part that holds
// more of the photo than of the mark (a brush's stroke) is judged by the
// mark's most common opacity in it.
std::vector<uint8_t> UnblendTranslucent(const WordPicture& original, WordPicture& filled, const SelRect& rect,
                                        const std::vector<uint8_t>& mask, bool apply = true,
                                        std::vector<MarkEstimate>* estimates = nullptr);

// 文字補正's repair of mask: the harmonic fill, then the translucent parts
// un-blended. False (nothing written) when keepGoing stopped it.
bool FillLetters(WordPicture& picture, const SelRect& rect, const std::vector<uint8_t>& mask,
                 const std::function<bool()>& keepGoing = {});

// Per pixel of mask, 1 where its part passes for a mark (translucent, or
// refused only as opaque, on a smooth background, or too thin to judge over
// a smooth one), 0 where it is judged the photo's own (coloured, faint, no
// one grey and opacity, edges that stay, too thin over texture).
std::vector<uint8_t> MarkLike(const WordPicture& picture, const SelRect& rect, const std::vector<uint8_t>& mask);

// How each pixel of mask would be repaired (Repair values), for the overlay.
std::vector<uint8_t> RepairWays(const WordPicture& picture, const SelRect& rect, const std::vector<uint8_t>& mask);

// Translucent marks in rect (normalised, inside the picture): the grey
// (white, black or a little off either) and the opacity whose blend explains
// more of the rectangle's steps between neighbouring pixels than strips of
// the photo around it explain; the pixels enclosed by the edges of that
// blend that then pass as one mark of one grey and one opacity (as
// UnblendTranslucent judges them), grown by a pixel. Sought again over the
// picture averaged over squares of two (and that halved again), where a
// rough ground's steps between neighbours hide a faint mark's: what that
// adds apart from what was found is taken where the picture itself reads
// it as a mark of more than a faint opacity, beside a mark found already
// of that mark's grey and opacity. A mask of rect.
std::vector<uint8_t> FindTranslucent(const WordPicture& picture, const SelRect& rect);

} // namespace retouch
