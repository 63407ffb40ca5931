#pragma once
// The main window: the path field with its browse button, the view with its
// scroll bars, the loupe, the fill-mode options and the command buttons.
#include "FileDialogs.h"
#include "PictureDocument.h"
#include "Retouch.h"

#include <QPointer>
#include <QWidget>

#include <array>

class LoupeWidget;
class PathField;
class PictureView;
class QLabel;
class QPushButton;
class QRadioButton;
class QScrollBar;
class QShortcut;
class QTimer;
class ViewArea;

class frmMain : public QWidget {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);

    // Event handlers.
    // Opens the remembered picture, or the one named on the command line;
    // tellFailure: a picture that cannot be opened is told in a box.
    void Form_Load(bool tellFailure = false);
    void Form_Resize();
    void Form_QueryUnload();
    void FLD_KeyDown(int Index, int KeyCode, int Shift);
    void FLD_LostFocus(int Index);
    void FLD_OLEDragDrop(int Index, const QStringList& files);
    void AREA_OLEDragDrop(int Index, const QStringList& files);
    void BTN_Click(int Index);
    void DBTN_Click(int Index);

    // The commands behind the buttons.
    retouch::RetouchResult Retouch();
    files::SaveOutcome SaveImageFile();
    // 文字補正's mask of the committed rectangle as a PNG for pixmend-batch's
    // --mask (white: repainted), its size the rectangle's.
    bool SaveLetterMask();

    // Take back the last retouch, or do again the one taken back.
    bool Undo();
    bool Redo();
    // True when the picture on view differs from the one last opened or saved.
    bool IsChanged() const { return Document->IsChanged(); }
    // With a changed picture, asks whether to save it first: true when the
    // caller may go on (saved, or the user chose not to), false to stay.
    bool MayDiscardChanges();

    // The window's size, place, maximised state and fill mode, kept in the
    // settings' [Window] section. Values that are missing, absurd or off
    // every screen are ignored (the starting size, V補正); with no [Window]
    // section at all the window takes 70 % of the screen, centred.
    void RestoreWindowSettings();
    bool SaveWindowSettings(int* err);

    // Controls.
    std::array<QLabel*, 1> LBL{};
    std::array<PathField*, 1> FLD{};
    std::array<QPushButton*, 1> DBTN{};
    LoupeWidget* Loupe = nullptr;
    std::array<ViewArea*, 1> AREA{};
    std::array<QScrollBar*, 1> HSCR{};
    std::array<QScrollBar*, 1> VSCR{};
    QTimer* TMC = nullptr;
    std::array<QRadioButton*, 4> OPT{}; // V補正, H補正, X補正, 文字補正
    std::array<QPushButton*, 5> BTN{};
    QLabel* info = nullptr; // under the loupe: pointer, size, zoom, rectangle
    // The picture, with its history and saved state; the view that shows it
    // and holds the selection.
    document::PictureDocument* Document = nullptr;
    PictureView* View = nullptr;

    // The smallest outer size, in pixels.
    static constexpr QSize kMinimumOuter{306, 294};
    // The decoration assumed where the platform reports none (offscreen,
    // no window manager), so that the starting client size stays allowed.
    static constexpr QSize kAssumedFrame{8, 31};

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    void OpenLastPicture(bool tellFailure);
    void TellLoadFailure(const QString& path, const QString& reason);
    void TellTruncated(const QString& path);
    // Opens path into the view, first asking about unsaved work when
    // askFirst. A failure keeps the picture and path shown before, and is
    // told in a message box when tellFailure; a JPEG that ends early opens
    // and is always told.
    bool OpenPicture(const QString& path, bool tellFailure, bool askFirst = true);
    void PictureOpened(const QString& path);
    void UpdateTitle();
    void UpdateInfo();
    retouch::FillMode ChosenMode() const;
    void CreateShortcuts();
    // While a job of the document's runs (the window stays alive), nothing
    // may start another or change the picture.
    void SetBusy(bool busy);
    QSize FrameExtra() const;

    QList<QShortcut*> shortcuts_;
    QPointer<QWidget> focusBefore_; // while a job runs
};
