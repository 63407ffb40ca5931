#pragma once
// Shared by the test programs: dialogs answered from a script, pictures made
// to order, and a picture comparison that names the first differing pixel.
#include "Dialogs.h"
#include "Surface.h"

#include <QDir>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <functional>

namespace testsupport {

// Installs itself as the dialog host for its lifetime. Every dialog takes
// the next scripted answer; an unscripted dialog fails the test.
class ScriptedDialogs : public platform::DialogHost {
public:
    ScriptedDialogs();
    ~ScriptedDialogs() override;

    struct Message {
        QString text, title;
        int style;
    };
    QList<platform::FileDialogResult> fileAnswers;
    QList<platform::FileDialogRequest> fileRequests;
    QList<int> messageAnswers;
    QList<Message> messages;
    std::function<void()> beforeAnswer; // runs while a message is on screen
    std::function<int(QDialog&)> modal; // answers ShowModal

    platform::FileDialogResult FileDialog(const platform::FileDialogRequest& request) override;
    int MessageBox(QWidget*, const QString& text, const QString& title, int style) override;
    int ShowModal(QDialog& dialog) override;
};

// A w x h Format_RGB32 picture of smooth gradients with some noise.
platform::Surface MakePicture(int w, int h, unsigned seed = 1);

// Empty when a and b agree within tolerance per channel; otherwise where
// and how they first differ.
QString FirstDifference(const QImage& a, const QImage& b, int tolerance = 0);

// The largest per-channel difference, and the mean absolute one.
double MeanDifference(const QImage& a, const QImage& b, int* maxDiff = nullptr);

// A JPEG marker segment, and little-endian Exif (after "Exif\0\0") with a
// make and an orientation, and optionally a thumbnail in IFD1.
QByteArray Segment(int marker, const QByteArray& payload);
QByteArray MakeExif(int orientation, bool thumbnail);

// body's result in a child process with a file-size limit (a full disk that
// root cannot write past), optionally as the ordinary user `nobody`.
int ExitCodeOfChild(const std::function<int()>& body, unsigned long fileSizeLimit, bool asNobody = false);

QByteArray ReadAll(const QString& path);
bool WriteAll(const QString& path, const QByteArray& data);

// True when files may be made without a name in folder (O_TMPFILE): only
// then does not even a crash leave a temporary file in view.
bool UnnamedFilesSupported(const QString& folder);

QString PhotoPath(const QString& relative); // a photograph of mate-backgrounds
QString DataPath(const QString& name);      // a file of tests/

} // namespace testsupport
