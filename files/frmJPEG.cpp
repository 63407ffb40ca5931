#include "frmJPEG.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>

#include <algorithm>

namespace {

// The dialog was designed in twips, 15 to the pixel.
QRect Twips(int left, int top, int width, int height)
{
    return QRect(qRound(left / 15.0), qRound(top / 15.0), qRound(width / 15.0), qRound(height / 15.0));
}

} // namespace

frmJPEG::frmJPEG(const SaveOptionsBinding& settings, QWidget* parent)
    : QDialog(parent), settings_(settings)
{
    setWindowTitle(QStringLiteral("保存オプション"));
    setModal(true);
    setFixedSize(Twips(0, 0, 4680, 2985).size());
    CreateControls();
    Form_Load();
}

void frmJPEG::CreateControls()
{
    BoxLine[0] = new QGroupBox(QStringLiteral("JPEG"), this);
    // The JPEG group has a third row for "元の画質を保つ"; what lies below it
    // moves down by that row.
    BoxLine[0]->setGeometry(Twips(120, 120, 4455, 1455));
    BoxLine[1] = new QGroupBox(QStringLiteral("PNG"), this);
    BoxLine[1]->setGeometry(Twips(120, 1680, 4455, 735));

    auto label = [](const QString& text, QWidget* parent, QRect r) {
        auto* l = new QLabel(text, parent);
        l->setGeometry(r);
        return l;
    };
    LBL[0] = label(QStringLiteral("圧縮率"), BoxLine[0], Twips(120, 280, 1575, 255));
    DSP[0] = label(QStringLiteral("1"), BoxLine[0], Twips(1800, 240, 495, 255));
    LBL[1] = label(QStringLiteral("プログレッシブタイプ"), BoxLine[0], Twips(120, 640, 1575, 255));
    LBL[2] = label(QStringLiteral("圧縮率"), BoxLine[1], Twips(0, 280, 1575, 255));
    DSP[1] = label(QStringLiteral("1"), BoxLine[1], Twips(1800, 240, 495, 255));

    const int ranges[2][2] = {{1, 100}, {0, 2}};
    for (int i = 0; i < 2; ++i) {
        ASCR[i] = new QScrollBar(Qt::Horizontal, BoxLine[i]);
        ASCR[i]->setGeometry(Twips(2280, 240, 2055, 255));
        ASCR[i]->setRange(ranges[i][0], ranges[i][1]);
        ASCR[i]->setValue(1);
        ASCR[i]->setSingleStep(1);
        ASCR[i]->setPageStep(1);
        ASCR[i]->setFocusPolicy(Qt::StrongFocus);
        connect(ASCR[i], &QScrollBar::valueChanged, this, [this, i] { ASCR_Change(i); });
    }
    // The label is as wide as its text, and the check box follows it.
    const QRect label1 = Twips(120, 640, 1575, 255);
    LBL[1]->resize(std::max(label1.width(), LBL[1]->sizeHint().width()), label1.height());
    CHK = new QCheckBox(QStringLiteral("保存する"), BoxLine[0]);
    const QRect check = Twips(1800, 600, 1695, 255);
    CHK->setGeometry(std::max(check.x(), LBL[1]->geometry().right() + 8), check.y(), check.width(), check.height());
    keepQuality = new QCheckBox(QStringLiteral("元の画質を保つ"), BoxLine[0]);
    keepQuality->setGeometry(Twips(120, 980, 4200, 255));
    keepQuality->setToolTip(QStringLiteral("JPEG から開いた画像を JPEG で保存するとき、補正していない部分を元のまま残します"));

    BTN[0] = new QPushButton(QStringLiteral("保存"), this);
    BTN[0]->setGeometry(Twips(120, 2520, 1335, 375));
    BTN[1] = new QPushButton(QStringLiteral("閉じる"), this);
    BTN[1]->setGeometry(Twips(3240, 2520, 1335, 375));
    for (int i = 0; i < 2; ++i) {
        BTN[i]->setAutoDefault(false);
        connect(BTN[i], &QPushButton::clicked, this, [this, i] { BTN_Click(i); });
    }
    setTabOrder(BTN[0], BTN[1]);
    setTabOrder(BTN[1], ASCR[0]);
    setTabOrder(ASCR[0], CHK);
    setTabOrder(CHK, keepQuality);
    setTabOrder(keepQuality, ASCR[1]);
    BTN[0]->setFocus();
}

int frmJPEG::PngPositionForRate(int16_t rate)
{
    switch (rate) {
    case 1: return 0;
    case 0: return 1;
    case 2: return 2;
    default: return -1;
    }
}

int16_t frmJPEG::PngRateForPosition(int position)
{
    switch (position) {
    case 0: return 1;
    case 1: return 0;
    default: return 2;
    }
}

void frmJPEG::Form_Load()
{
    // A stored rate outside the bar's range is shown at the nearest end
    // rather than refusing to open the dialog.
    ASCR[0]->setValue(std::clamp<int>(*settings_.JpegRate, 1, 100));
    CHK->setChecked(*settings_.JpegPrgrs != 0);
    keepQuality->setChecked(!settings_.JpegKeep || *settings_.JpegKeep != 0);
    const int position = PngPositionForRate(*settings_.PngRate);
    if (position >= 0)
        ASCR[1]->setValue(position);
}

void frmJPEG::ASCR_Change(int Index)
{
    DSP[Index]->setText(QString::number(ASCR[Index]->value()));
}

void frmJPEG::BTN_Click(int Index)
{
    if (Index == 0) {
        *settings_.JpegRate = static_cast<int16_t>(ASCR[0]->value());
        *settings_.JpegPrgrs = CHK->isChecked() ? -1 : 0;
        if (settings_.JpegKeep)
            *settings_.JpegKeep = keepQuality->isChecked() ? 1 : 0;
        *settings_.PngRate = PngRateForPosition(ASCR[1]->value());
        if (settings_.SaveSettings)
            settings_.SaveSettings();
        accept();
    } else if (Index == 1) {
        reject();
    }
}
