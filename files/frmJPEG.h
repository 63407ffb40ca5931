#pragma once
// The save-options dialog "保存オプション": the JPEG compression rate, the
// JPEG progressive flag, whether a JPEG of a JPEG keeps its untouched
// blocks, and the PNG compression value.
#include <QDialog>

#include <array>
#include <cstdint>
#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QScrollBar;

// The settings the dialog edits, and how to write the settings file.
struct SaveOptionsBinding {
    int16_t* JpegRate;
    int16_t* JpegPrgrs;
    int16_t* PngRate;
    std::function<void()> SaveSettings;
    int16_t* JpegKeep = nullptr;
};

class frmJPEG : public QDialog {
public:
    frmJPEG(const SaveOptionsBinding& settings, QWidget* parent = nullptr);

    void Form_Load();
    void ASCR_Change(int Index);
    void BTN_Click(int Index);

    // PngRate <-> position of ASCR(1): 1 <-> 0, 0 <-> 1, 2 <-> 2.
    static int PngPositionForRate(int16_t rate); // -1 for a rate with no position
    static int16_t PngRateForPosition(int position);

    std::array<QGroupBox*, 2> BoxLine{};
    std::array<QLabel*, 3> LBL{};
    std::array<QLabel*, 2> DSP{};
    std::array<QScrollBar*, 2> ASCR{};
    QCheckBox* CHK = nullptr;
    QCheckBox* keepQuality = nullptr; // "元の画質を保つ"
    std::array<QPushButton*, 2> BTN{};

private:
    void CreateControls();
    SaveOptionsBinding settings_;
};
