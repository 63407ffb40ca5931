// The run-time loader: BMP, GIF and ICO through Qt, JPEG through libjpeg-turbo.
#include "PictureLoader.h"

#include <QByteArray>
#include <QGuiApplication>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Qt's image plugins want an application object.
    static int argc = 1;
    static char name[] = "fuzz_loader";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // Qt's readers warn about every odd byte; the outcome is all we test.
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        return new QGuiApplication(argc, argv);
    }();
    (void)app;
    platform::Surface picture;
    platform::LoadRuntimePictureData(QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)),
                                     picture);
    return 0;
}
