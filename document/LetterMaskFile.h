#pragma once
// 文字補正's mask as a file: a PNG, white where the fill repaints, black
// elsewhere. The window writes the mask the user corrected; pixmend-batch
// --mask fills exactly the mask it reads.
#include "EditHistory.h"

#include <QSize>
#include <QString>

namespace document {

// A kCodec result; err receives the errno of a failed write.
int WriteLetterMask(const LetterMask& mask, const QString& path, int* err);

// The mask for the ordered, clamped rect of a picture of pictureSize, from
// the picture file at path: either the picture's size (the rectangle's part
// of it is taken) or the rectangle's own. A pixel is set when it is lighter
// than mid-grey. False, with why in words for the user, when the file does
// not load or fits neither size.
bool ReadLetterMask(const QString& path, const retouch::SelRect& rect, QSize pictureSize, LetterMask* mask,
                    QString* why);

} // namespace document
