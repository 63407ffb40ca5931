#include "frmJPEG.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

frmJPEG::frmJPEG(const SaveOptionsBinding& settings, QWidget* parent)
    : QDialog(parent), settings_(settings)
{
    setWindowTitle(QStringLiteral("保存オプション"));
    setModal(true);
    CreateControls();
    Form_Load();
}

void frmJPEG::CreateControls()
{
    // Laid out, not placed: every text keeps its frame at any font and scale.
    BoxLine[0] = new QGroupBox(QStringLiteral("JPEG"), this);
    BoxLine[1] = new QGroupBox(QStringLiteral("PNG"), this);
    LBL[0] = new QLabel(QStringLiteral("圧縮率"), BoxLine[0]);
    DSP[0] = new QLabel(QStringLiteral("1"), BoxLine[0]);
    LBL[1] = new QLabel(QStringLiteral("プログレッシブタイプ"), BoxLine[0]);
    LBL[2] = new QLabel(QStringLiteral("圧縮率"), BoxLine[1]);
    DSP[1] = new QLabel(QStringLiteral("1"), BoxLine[1]);

    const int ranges[2][2] = {{1, 100}, {0, 2}};
    for (int i = 0; i < 2; ++i) {
        ASCR[i] = new QScrollBar(Qt::Horizontal, BoxLine[i]);
        ASCR[i]->setMinimumWidth(137);
        ASCR[i]->setRange(ranges[i][0], ranges[i][1]);
        ASCR[i]->setValue(1);
        ASCR[i]->setSingleStep(1);
        ASCR[i]->setPageStep(1);
        ASCR[i]->setFocusPolicy(Qt::StrongFocus);
        // Room for "100", so that the bar does not move as the value grows.
        DSP[i]->setMinimumWidth(DSP[i]->fontMetrics().horizontalAdvance(QStringLiteral("1000")));
        DSP[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        connect(ASCR[i], &QScrollBar::valueChanged, this, [this, i] { ASCR_Change(i); });
    }
    CHK = new QCheckBox(QStringLiteral("保存する"), BoxLine[0]);
    keepQuality = new QCheckBox(QStringLiteral("元の画質を保つ"), BoxLine[0]);
    keepQuality->setToolTip(QStringLiteral("JPEG から開いた画像を JPEG で保存するとき、補正していない部分を元のまま残します"));

    auto* jpeg = new QGridLayout(BoxLine[0]);
    jpeg->addWidget(LBL[0], 0, 0);
    jpeg->addWidget(DSP[0], 0, 1);
    jpeg->addWidget(ASCR[0], 0, 2);
    jpeg->addWidget(LBL[1], 1, 0);
    jpeg->addWidget(CHK, 1, 1, 1, 2);
    jpeg->addWidget(keepQuality, 2, 0, 1, 3);
    jpeg->setColumnStretch(2, 1);
    auto* png = new QGridLayout(BoxLine[1]);
    png->addWidget(LBL[2], 0, 0);
    png->addWidget(DSP[1], 0, 1);
    png->addWidget(ASCR[1], 0, 2);
    png->setColumnStretch(2, 1);
    // The two groups' columns line up.
    png->setColumnMinimumWidth(0, LBL[1]->sizeHint().width());

    BTN[0] = new QPushButton(QStringLiteral("保存"), this);
    BTN[1] = new QPushButton(QStringLiteral("閉じる"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(BTN[0]);
    buttons->addStretch(1);
    buttons->addWidget(BTN[1]);
    for (int i = 0; i < 2; ++i) {
        BTN[i]->setAutoDefault(false);
        connect(BTN[i], &QPushButton::clicked, this, [this, i] { BTN_Click(i); });
    }
    auto* all = new QVBoxLayout(this);
    all->addWidget(BoxLine[0]);
    all->addWidget(BoxLine[1]);
    all->addLayout(buttons);
    all->setSizeConstraint(QLayout::SetFixedSize);
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
