#include "LetterMaskFile.h"

#include "Codec.h"
#include "PictureFiles.h"

#include <QColor>

namespace document {

int WriteLetterMask(const LetterMask& mask, const QString& path, int* err)
{
    const int w = mask.rect.X2 - mask.rect.X1 + 1, h = mask.rect.Y2 - mask.rect.Y1 + 1;
    platform::Surface picture = platform::MakeSurface(w, h);
    if (mask.empty() || picture.isNull())
        return codec::kCodecBadArguments;
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(picture.scanLine(y));
        for (int x = 0; x < w; ++x)
            row[x] = mask.bits[size_t(y) * size_t(w) + size_t(x)] ? 0xFFFFFFFFu : 0xFF000000u;
    }
    return codec::DCSavetoPNG(picture, w, h, path, 2, {}, err);
}

bool ReadLetterMask(const QString& path, const retouch::SelRect& rect, QSize pictureSize, LetterMask* mask,
                    QString* why)
{
    codec::LoadReport report;
    const platform::Surface file = files::LoadPicture(path, &report);
    if (file.isNull()) {
        *why = QStringLiteral("マスク %1 を読み込めません (%2)").arg(path, codec::LoadFailureReason(report));
        return false;
    }
    const int w = rect.X2 - rect.X1 + 1, h = rect.Y2 - rect.Y1 + 1;
    QPoint from;
    if (file.size() == pictureSize)
        from = QPoint(rect.X1, rect.Y1);
    else if (file.size() != QSize(w, h)) {
        *why = QStringLiteral("マスク %1 の大きさ (%2 × %3) が画像 (%4 × %5) とも範囲 (%6 × %7) とも合いません")
                   .arg(path).arg(file.width()).arg(file.height()).arg(pictureSize.width()).arg(pictureSize.height())
                   .arg(w).arg(h);
        return false;
    }
    mask->rect = rect;
    mask->bits.assign(size_t(w) * size_t(h), 0);
    for (int y = 0; y < h; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(file.constScanLine(from.y() + y)) + from.x();
        for (int x = 0; x < w; ++x)
            mask->bits[size_t(y) * size_t(w) + size_t(x)] = qGray(row[x]) >= 128;
    }
    return true;
}

} // namespace document
