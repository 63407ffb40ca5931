#include "frmMain.h"

#include "Dialogs.h"
#include "LoupeWidget.h"
#include "PathField.h"
#include "PictureView.h"
#include "ViewArea.h"
#include "basCommon.h"
#include "basFunc.h"
#include "clsDialog.h"
#include "frmJPEG.h"
#include "LetterMaskFile.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QGuiApplication>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QTimer>

#include <algorithm>

frmMain::frmMain(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Pixmend"));
    CreateControls();
    resize(322, 280);
}

void frmMain::CreateControls()
{
    LBL[0] = new QLabel(QStringLiteral("前景の絵"), this);
    LBL[0]->setGeometry(8, 12, 73, 17);
    FLD[0] = new PathField(this);
    FLD[0]->setGeometry(88, 8, 209, 18);
    DBTN[0] = new QPushButton(QStringLiteral("..."), this);
    DBTN[0]->setGeometry(296, 8, 17, 17);
    Loupe = new LoupeWidget(this);
    Loupe->move(8, 32);
    // Under the loupe: the pixel under the pointer, the picture's size, the
    // zoom, and the rectangle as pixmend-batch's --rect takes it.
    info = new QLabel(this);
    info->setGeometry(8, 110, 78, 108); // to 2 pixels short of the view
    info->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    info->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont small = info->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    info->setFont(small);
    AREA[0] = new ViewArea(this);
    AREA[0]->setGeometry(88, 24, 209, 177);
    HSCR[0] = new QScrollBar(Qt::Horizontal, this);
    HSCR[0]->setGeometry(88, 200, 209, 17);
    VSCR[0] = new QScrollBar(Qt::Vertical, this);
    VSCR[0]->setGeometry(296, 24, 17, 177);
    for (QScrollBar* bar : {HSCR[0], VSCR[0]})
        bar->setFocusPolicy(Qt::StrongFocus);

    const char16_t* modes[4] = {u"V補正", u"H補正", u"X補正", u"文字補正"};
    for (int i = 0; i < 4; ++i) {
        OPT[i] = new QRadioButton(QString::fromUtf16(modes[i]), this);
        OPT[i]->setGeometry(8 + 72 * i, 224, 65, 17);
    }
    OPT[0]->setChecked(true);
    OPT[3]->setToolTip(QStringLiteral("範囲の中の文字だけを周りから塗り直します"));
    // With 文字補正 chosen the view shows what it will repaint.
    connect(OPT[3], &QRadioButton::toggled, this, [this](bool on) { View->ShowLetterMask(on); });

    const char16_t* captions[5] = {u"補正", u"戻す", u"ｵﾌﾟｼｮﾝ", u"保存", u"閉じる"};
    const int lefts[5] = {8, 64, 64, 120, 264};
    for (int i = 0; i < 5; ++i) {
        BTN[i] = new QPushButton(QString::fromUtf16(captions[i]), this);
        BTN[i]->setGeometry(lefts[i], 248, 49, 25);
        connect(BTN[i], &QPushButton::clicked, this, [this, i] { BTN_Click(i); });
    }
    BTN[1]->hide(); // "戻す" has no action and is never shown
    BTN[1]->setEnabled(false);

    BTN[0]->setToolTip(QStringLiteral("補正 (元に戻す: Ctrl+Z)"));

    Document = new document::PictureDocument(this);
    Document->SetJobRunner(files::ProgressRunner(this));
    connect(Document, &document::PictureDocument::pathChanged, this, &frmMain::PictureOpened);
    connect(Document, &document::PictureDocument::saved, this, [this](const QString& name) {
        clsDialog::RememberFolderOf(name);
        UpdateTitle();
    });
    connect(Document, &document::PictureDocument::modifiedChanged, this, &frmMain::UpdateTitle);
    connect(Document, &document::PictureDocument::busyChanged, this, &frmMain::SetBusy);
    View = new PictureView(Document, AREA[0], HSCR[0], VSCR[0], Loupe, this);
    connect(View, &PictureView::infoChanged, this, &frmMain::UpdateInfo);
    CreateShortcuts();

    connect(FLD[0], &PathField::keyDown, this, [this](int key, int shift) { FLD_KeyDown(0, key, shift); });
    connect(FLD[0], &PathField::leftField, this, [this] { FLD_LostFocus(0); });
    connect(FLD[0], &PathField::filesDropped, this, [this](const QStringList& f) { FLD_OLEDragDrop(0, f); });
    connect(AREA[0], &ViewArea::filesDropped, this, [this](const QStringList& f) { AREA_OLEDragDrop(0, f); });
    connect(DBTN[0], &QPushButton::clicked, this, [this] { DBTN_Click(0); });

    TMC = new QTimer(this);
    TMC->setInterval(100);
    connect(TMC, &QTimer::timeout, View, &PictureView::TMC_Timer);
    TMC->start();

    // The keyboard order; BTN(0) comes first and has the focus.
    QWidget* order[] = {BTN[0], DBTN[0], BTN[4], BTN[2], FLD[0], AREA[0], VSCR[0], HSCR[0],
                        OPT[0], OPT[1], OPT[2], OPT[3], BTN[3]};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
    BTN[0]->setFocus();
}

void frmMain::CreateShortcuts()
{
    auto add = [this](const QKeySequence& keys, auto action, QWidget* on = nullptr) {
        auto* shortcut = new QShortcut(keys, on ? on : this);
        shortcut->setContext(on ? Qt::WidgetShortcut : Qt::WindowShortcut);
        shortcuts_ << shortcut;
        connect(shortcut, &QShortcut::activated, this, action);
    };
    add(QKeySequence(Qt::CTRL | Qt::Key_Z), [this] { Undo(); });
    add(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), [this] { Redo(); });
    add(QKeySequence(Qt::CTRL | Qt::Key_Y), [this] { Redo(); });
    add(QKeySequence(Qt::CTRL | Qt::Key_O), [this] { DBTN_Click(0); });
    add(QKeySequence(Qt::CTRL | Qt::Key_S), [this] { BTN_Click(3); });
    add(QKeySequence(Qt::Key_Escape), [this] { View->CancelSelection(); });
    add(QKeySequence(Qt::CTRL | Qt::Key_Plus), [this] { View->ZoomStep(1); });
    add(QKeySequence(Qt::CTRL | Qt::Key_Equal), [this] { View->ZoomStep(1); });
    add(QKeySequence(Qt::CTRL | Qt::Key_Minus), [this] { View->ZoomStep(-1); });
    add(QKeySequence(Qt::CTRL | Qt::Key_0), [this] { View->ZoomFit(); });
    add(QKeySequence(Qt::Key_BracketLeft), [this] { View->ChangeBrush(-1); });
    add(QKeySequence(Qt::Key_BracketRight), [this] { View->ChangeBrush(1); });
    add(QKeySequence(Qt::CTRL | Qt::Key_M), [this] { SaveLetterMask(); });
    add(QKeySequence(Qt::CTRL | Qt::Key_1), [this] { View->ZoomTo(1.0, QPointF(AREA[0]->DrawWidth() / 2.0, AREA[0]->DrawHeight() / 2.0)); });
    // Enter means 補正 on the view only: in the path field it opens the name.
    add(QKeySequence(Qt::Key_Return), [this] { BTN_Click(0); }, AREA[0]);
    add(QKeySequence(Qt::Key_Enter), [this] { BTN_Click(0); }, AREA[0]);
}

void frmMain::SetBusy(bool busy)
{
    // A control that lost the focus by being disabled for the job gets it
    // back.
    if (busy)
        focusBefore_ = focusWidget();
    for (QPushButton* b : BTN)
        b->setEnabled(!busy && b != BTN[1]);
    DBTN[0]->setEnabled(!busy);
    FLD[0]->setReadOnly(busy);
    for (QShortcut* s : shortcuts_)
        s->setEnabled(!busy);
    for (QRadioButton* o : OPT)
        o->setEnabled(!busy);
    if (busy && focusBefore_ && focusBefore_->isEnabled())
        focusBefore_ = nullptr; // it keeps the focus
    // Later, not here: taking the focus from the path field opens what it
    // holds, and whatever started the job has yet to finish.
    if (!busy && focusBefore_)
        QTimer::singleShot(0, focusBefore_, [this, w = focusBefore_] {
            if (w && !Document->IsBusy())
                w->setFocus();
        });
}

void frmMain::Form_Load(bool tellFailure) { OpenLastPicture(tellFailure); }

void frmMain::OpenLastPicture(bool tellFailure)
{
    const QString path = basCommon::ImageFront;
    FLD[0]->setText(path);
    if (path.isEmpty())
        return;
    const document::Outcome opened = View->SetupView(path);
    if (opened.truncated)
        TellTruncated(path);
    else if (tellFailure && opened.kind == document::Outcome::Failed)
        TellLoadFailure(path, opened.reason);
}

void frmMain::TellLoadFailure(const QString& path, const QString& reason)
{
    platform::Dialogs().MessageBox(
        this, QStringLiteral("ファイル「%1」を開けませんでした。\n%2").arg(path, reason),
        QStringLiteral("読み込みエラー"), platform::MB_OK | platform::MB_ICONEXCLAMATION);
}

void frmMain::TellTruncated(const QString& path)
{
    platform::Dialogs().MessageBox(
        this,
        QStringLiteral("ファイル「%1」は途中で終わっています。\n読み込めた部分だけを表示しています。").arg(path),
        QStringLiteral("読み込みエラー"), platform::MB_OK | platform::MB_ICONEXCLAMATION);
}

QSize frmMain::FrameExtra() const
{
    // Without a title bar (offscreen, no window manager) the platform's
    // frame says nothing about the frame the window's sizes assume.
    const QSize extra = frameGeometry().size() - size();
    return extra.height() < 20 ? kAssumedFrame : extra;
}

void frmMain::resizeEvent(QResizeEvent*) { Form_Resize(); }

void frmMain::Form_Resize()
{
    if (isMinimized())
        return;
    const QSize minClient = kMinimumOuter - FrameExtra();
    if (minimumSize() != minClient)
        setMinimumSize(minClient);
    const int cw = std::max(width(), minClient.width());
    const int ch = std::max(height(), minClient.height());
    if (cw != width() || ch != height())
        resize(cw, ch);

    //  +-------------------------------------------+
    //  | LBL  [FLD .......................][DBTN]  |   FLD and AREA share a width;
    //  | Loupe +--------------------------+-+      |   the bars overlap the view's
    //  |       | AREA                      |V|      |   last row and column by 1.
    //  |       +--------------------------+-+      |
    //  |       [HSCR......................]        |
    //  | OPT OPT OPT          (7 below HSCR)        |
    //  | BTN BTN BTN              BTN(4) (7 below)  |
    //  +-------------------------------------------+
    ViewArea* area = AREA[0];
    area->setGeometry(area->x(), area->y(), cw - 113, ch - 103);
    HSCR[0]->setGeometry(HSCR[0]->x(), area->height() + area->y() - 1, area->width(), HSCR[0]->height());
    VSCR[0]->setGeometry(area->width() + area->x() - 1, VSCR[0]->y(), VSCR[0]->width(), area->height());
    FLD[0]->setGeometry(FLD[0]->x(), FLD[0]->y(), area->width(), FLD[0]->height());
    DBTN[0]->move(FLD[0]->width() + FLD[0]->x() - 1, DBTN[0]->y());
    for (QRadioButton* opt : OPT)
        opt->move(opt->x(), HSCR[0]->height() + HSCR[0]->y() + 7);
    info->resize(info->width(), std::max(0, OPT[0]->y() - 4 - info->y()));
    for (QPushButton* btn : BTN)
        btn->move(btn->x(), OPT[0]->height() + OPT[0]->y() + 7);
    // The picture on view stays: it is fitted to the new view size, not read
    // again from its file (which would throw away unsaved retouching).
    View->FitView();
    BTN[4]->move(VSCR[0]->width() + VSCR[0]->x() - BTN[3]->width(), BTN[4]->y());
}

void frmMain::PictureOpened(const QString& path)
{
    FLD[0]->setText(path);
    clsDialog::RememberFolderOf(path);
    UpdateTitle();
}

void frmMain::UpdateInfo()
{
    info->setText(View->InfoText());
    const retouch::SelRect& r = View->Selecting() == 1 ? View->Live() : View->Committed();
    info->setToolTip(AREA[0]->SelLinesVisible ? QStringLiteral("--rect %1,%2,%3,%4")
                                                    .arg(std::min(r.X1, r.X2)).arg(std::min(r.Y1, r.Y2))
                                                    .arg(std::max(r.X1, r.X2)).arg(std::max(r.Y1, r.Y2))
                                              : QString());
}

void frmMain::UpdateTitle()
{
    setWindowTitle(Document->PicImg().isNull()
                       ? QStringLiteral("Pixmend")
                       : QStringLiteral("Pixmend - %1[*]").arg(QFileInfo(Document->FileName()).fileName()));
    setWindowModified(IsChanged());
}

bool frmMain::MayDiscardChanges()
{
    if (!IsChanged())
        return true;
    const int answer = platform::Dialogs().MessageBox(
        this, QStringLiteral("変更を保存しますか?\n%1").arg(QFileInfo(Document->FileName()).fileName()), QStringLiteral("Pixmend"),
        platform::MB_SAVECHANGES | platform::MB_ICONQUESTION);
    if (answer == platform::IDNO)
        return true;
    return answer == platform::IDYES && SaveImageFile() == files::SaveOutcome::Saved;
}

bool frmMain::Undo() { return Document->Undo(); }
bool frmMain::Redo() { return Document->Redo(); }

bool frmMain::OpenPicture(const QString& path, bool tellFailure, bool askFirst)
{
    if (Document->IsBusy())
        return false;
    if (askFirst && !MayDiscardChanges()) {
        FLD[0]->setText(Document->Path());
        return false;
    }
    const document::Outcome opened = View->SetupView(path);
    if (!opened.done()) {
        // The picture on view stays, and so does the path that names it.
        FLD[0]->setText(Document->Path());
        if (tellFailure && opened.kind == document::Outcome::Failed)
            TellLoadFailure(path, opened.reason);
        return false;
    }
    if (opened.truncated)
        TellTruncated(path);
    return true;
}

void frmMain::FLD_KeyDown(int Index, int KeyCode, int)
{
    if (KeyCode != 13)
        return;
    const QString text = FLD[Index]->text();
    if (basFunc::IsAcceptedPictureName(text))
        OpenPicture(text, true);
}

void frmMain::FLD_LostFocus(int Index)
{
    // Only a name that differs from the picture on view is opened: leaving
    // the field unchanged must not throw away retouching. Enter still
    // re-reads the file on purpose. A name that cannot be opened quietly
    // gives way to the shown picture's path.
    const QString text = FLD[Index]->text();
    if (text != Document->Path() && basFunc::IsAcceptedPictureName(text))
        OpenPicture(text, false);
}

void frmMain::FLD_OLEDragDrop(int, const QStringList& files)
{
    if (Document->IsBusy()) // not even the question while a job runs
        return;
    // One question for the whole drop, and only when a picture is in it.
    bool asked = false;
    for (const QString& path : files) {
        if (!basFunc::IsAcceptedPictureName(path))
            continue;
        if (!asked && !MayDiscardChanges())
            return;
        asked = true;
        OpenPicture(path, true, false);
    }
}

void frmMain::AREA_OLEDragDrop(int Index, const QStringList& files) { FLD_OLEDragDrop(Index, files); }

void frmMain::DBTN_Click(int)
{
    clsDialog dialog;
    dialog.SelectTitle = QStringLiteral("背景の画像");
    dialog.FilterPattern = QStringLiteral("画像ファイル") + QChar(0) + QStringLiteral("*.bmp;*.gif;*.ico;*.jpg;*.jpeg;*.png") + QChar(0);
    dialog.SelectFlags = QString::number(platform::OFN_FILEMUSTEXIST | platform::OFN_HIDEREADONLY);
    const QString path = dialog.OpenFile(this);
    if (!path.isEmpty())
        OpenPicture(path, true);
}

retouch::RetouchResult frmMain::Retouch()
{
    const retouch::FillMode mode = ChosenMode();
    retouch::SelRect sel = View->Committed();
    // 文字補正 fills the document's mask of the rectangle: the one the
    // overlay shows, as the user corrected it.
    const retouch::SelRect given = sel;
    const retouch::RetouchResult result = Document->Retouch(sel, mode);
    // The rectangle retouched, ordered and clamped, stays committed, unless
    // another was marked while the fill ran.
    if (result == retouch::RetouchResult::Done && View->Committed() == given)
        View->Commit(sel);
    if (result == retouch::RetouchResult::Done && mode == retouch::FillMode::Letters)
        View->LettersFilled();
    return result;
}

bool frmMain::SaveLetterMask()
{
    const document::LetterMask& mask = Document->Letters();
    retouch::SelRect r = View->Committed();
    if (!OPT[3]->isChecked() || Document->PicImg().isNull()
        || !retouch::OrderAndClamp(r, Document->PicImg().width(), Document->PicImg().height()) || !mask.Of(r)) {
        platform::Dialogs().MessageBox(this, QStringLiteral("文字補正の範囲を選択してからマスクを保存してください。"),
                                       QStringLiteral("Pixmend"), platform::MB_OK | platform::MB_ICONEXCLAMATION);
        return false;
    }
    clsDialog dialog;
    dialog.SelectTitle = QStringLiteral("マスクの保存");
    dialog.FilterPattern = QStringLiteral("ＰＮＧファイル") + QChar(0) + QStringLiteral("*.png") + QChar(0);
    dialog.SelectFlags = QString::number(platform::OFN_CREATEPROMPT | platform::OFN_HIDEREADONLY);
    const QString typed = basFunc::TrimBlanks(dialog.SaveFile(this));
    if (typed.isEmpty())
        return false;
    const QString name = files::CompleteName(typed, 4, nullptr);
    if (files::FileStatus(name) == files::kFileExists && !files::MayReplace(this, name))
        return false;
    int err = 0;
    const int rc = document::WriteLetterMask(mask, name, &err);
    if (rc != codec::kCodecOk)
        files::ReportSaveError(this, name, files::WriteFailureReason(rc, err));
    return rc == codec::kCodecOk;
}

files::SaveOutcome frmMain::SaveImageFile()
{
    const files::SaveOptions options{basCommon::JpegRate, basCommon::JpegPrgrs, basCommon::PngRate,
                                     basCommon::JpegKeep};
    if (Document->IsBusy())
        return files::SaveOutcome::Cancelled;
    return files::SaveImageFile(this, *Document, options);
}

void frmMain::BTN_Click(int Index)
{
    switch (Index) {
    case 0:
        // Only a rectangle on view is repainted: none once a right click or
        // Escape took it away, nor while one is still being drawn.
        if (const auto result = AREA[0]->SelLinesVisible && View->Selecting() == 0 ? Retouch() : retouch::RetouchResult::NoSelection;
            result == retouch::RetouchResult::NoSelection || result == retouch::RetouchResult::TransferFailed)
            platform::Dialogs().MessageBox(this,
                                           result == retouch::RetouchResult::NoSelection
                                               ? QStringLiteral("範囲を選択してから補正してください。")
                                               : QStringLiteral("補正できませんでした。メモリが足りません。"),
                                           QStringLiteral("Pixmend"), platform::MB_OK | platform::MB_ICONEXCLAMATION);
        break;
    case 2: {
        frmJPEG dialog({&basCommon::JpegRate, &basCommon::JpegPrgrs, &basCommon::PngRate,
                        [this] {
                            int err = 0;
                            if (!basCommon::SaveSettings(&err))
                                basCommon::ReportSettingsNotSaved(this, err);
                        },
                        &basCommon::JpegKeep},
                       this);
        platform::Dialogs().ShowModal(dialog);
        break;
    }
    case 3: SaveImageFile(); break;
    case 4: close(); break;
    default: break;
    }
}

void frmMain::Form_QueryUnload()
{
    basCommon::ImageFront = FLD[0]->text();
    int err = 0;
    if (!basCommon::SaveSettings(&err) || !SaveWindowSettings(&err))
        basCommon::ReportSettingsNotSaved(this, err);
}

namespace {
const char* const kModeLetters[4] = {"V", "H", "X", "L"};
}

retouch::FillMode frmMain::ChosenMode() const
{
    const retouch::FillMode modes[4] = {retouch::FillMode::Vertical, retouch::FillMode::Horizontal,
                                        retouch::FillMode::Cross, retouch::FillMode::Letters};
    for (int i = 0; i < 4; ++i)
        if (OPT[i]->isChecked())
            return modes[i];
    return retouch::FillMode::Vertical;
}

void frmMain::RestoreWindowSettings()
{
    auto read = [](const char* key) {
        return basFunc::ReadIni(QStringLiteral("Window"), QLatin1String(key), QString(), basCommon::IniFile);
    };
    auto number = [&](const char* key, int64_t lo, int64_t hi) { return basFunc::IntegerValue(read(key), lo, hi); };
    const QScreen* screen = QGuiApplication::primaryScreen();
    const auto left = number("Left", -100000, 100000), top = number("Top", -100000, 100000);
    const auto width = number("Width", 1, 100000), height = number("Height", 1, 100000);
    if (!left && !top && !width && !height && read("Maximized").isEmpty() && read("Mode").isEmpty()) {
        // A first start: a useful part of the picture, not a small patch of it.
        if (screen) {
            const QRect avail = screen->availableGeometry();
            const QSize size = (avail.size() * 0.7).expandedTo(kMinimumOuter - FrameExtra());
            setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, avail));
        }
        return;
    }
    if (left && top && width && height) {
        const QRect r{int(*left), int(*top), int(*width), int(*height)};
        const QSize minimum = kMinimumOuter - FrameExtra();
        // The screen that holds most of it (a screen that has gone, or a
        // smaller one, since: the primary), and on it the whole window with
        // its frame, shrunk if need be but never below the smallest size.
        const QScreen* best = screen;
        int64_t most = 0;
        for (const QScreen* s : QGuiApplication::screens()) {
            const QRect common = s->availableGeometry().intersected(r);
            if (int64_t(common.width()) * common.height() > most) {
                most = int64_t(common.width()) * common.height();
                best = s;
            }
        }
        if (best && r.width() >= minimum.width() && r.height() >= minimum.height()) {
            const QRect avail = best->availableGeometry();
            const QSize frame = FrameExtra();
            const QPoint inset(frame.width() / 2, frame.height() - frame.width() / 2); // left border, title bar
            QRect outer(r.topLeft() - inset, r.size() + frame);
            outer.setSize(outer.size().boundedTo(avail.size()).expandedTo(kMinimumOuter));
            outer.moveLeft(std::clamp(outer.left(), avail.left(), std::max(avail.left(), avail.right() + 1 - outer.width())));
            outer.moveTop(std::clamp(outer.top(), avail.top(), std::max(avail.top(), avail.bottom() + 1 - outer.height())));
            setGeometry(QRect(outer.topLeft() + inset, outer.size() - frame));
        }
    }
    if (number("Maximized", 0, 1).value_or(0) == 1)
        setWindowState(windowState() | Qt::WindowMaximized);
    for (int i = 0; i < 4; ++i)
        if (read("Mode").compare(QLatin1String(kModeLetters[i]), Qt::CaseInsensitive) == 0)
            OPT[i]->setChecked(true);
}

bool frmMain::SaveWindowSettings(int* err)
{
    const QRect r = isMaximized() ? normalGeometry() : geometry();
    int mode = 0;
    for (int i = 0; i < 4; ++i)
        if (OPT[i]->isChecked())
            mode = i;
    const QList<QPair<const char*, QString>> values{
        {"Left", QString::number(r.x())},       {"Top", QString::number(r.y())},
        {"Width", QString::number(r.width())},  {"Height", QString::number(r.height())},
        {"Maximized", isMaximized() ? "1" : "0"}, {"Mode", kModeLetters[mode]}};
    for (const auto& [key, value] : values)
        if (basFunc::WriteIni(QStringLiteral("Window"), QLatin1String(key), value, basCommon::IniFile, err) == 0)
            return false;
    return true;
}

void frmMain::closeEvent(QCloseEvent* event)
{
    if (Document->IsBusy() || !MayDiscardChanges()) {
        event->ignore();
        return;
    }
    Form_QueryUnload();
    event->accept();
}
