#pragma once
// The picture halved again and again (each pixel the mean of the 2 x 2 it
// covers), made once per opened picture, so that a view below 100 % paints
// from a copy at most twice its size instead of from the whole picture.
#include "Surface.h"

#include <QRect>

#include <vector>

class Reductions {
public:
    // Halves picture until the copy is no larger than smallest on its long side.
    void Build(const platform::Surface& picture, int smallest = 256);
    // The pixels of changed (in the picture) were replaced: their means
    // in every copy are worked out again.
    void Update(const platform::Surface& picture, const QRect& changed);

    // levels()[k] is the picture at 1 / 2^(k+1); its pixel (i, j) covers the
    // picture's pixels from (i, j) * 2^(k+1) on.
    const std::vector<platform::Surface>& levels() const { return levels_; }

private:
    std::vector<platform::Surface> levels_;
};

// Writes into half the means of the 2 x 2 blocks of full within rows y0..y1
// and columns x0..x1 of half (inclusive); blocks cut by full's edge take the
// pixels they have.
void HalvePart(const platform::Surface& full, platform::Surface& half, int x0, int y0, int x1, int y1);

// Paints into view (device pixels, already cleared to the background) the
// picture at scale (view pixels per picture pixel), scrolled to (h, v) view
// pixels. At and above 100 % each picture pixel is a sharp square; below, the
// view is a smooth (bilinear) reduction of the smallest copy that is still at
// least as large as the view.
void PaintZoomed(platform::Surface& view, const platform::Surface& picture, const Reductions& reductions,
                 double scale, int h, int v);
