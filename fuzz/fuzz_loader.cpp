// The run-time loader: BMP, GIF and ICO through Qt, JPEG through libjpeg-turbo;
// and the JPEG splicer that a block-keeping save runs on the same file.
#include "JpegSplice.h"
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
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    codec::LoadRuntimePictureData(bytes, picture);
    // One replaced MCU at the top-left corner, in the common samplings (a
    // patch that does not fit the file is refused, which is fine too).
    for (const auto& samples : {std::vector<std::pair<int, int>>{{1, 1}},
                                std::vector<std::pair<int, int>>{{2, 2}, {1, 1}, {1, 1}},
                                std::vector<std::pair<int, int>>{{1, 1}, {1, 1}, {1, 1}}}) {
        codec::BlockPatch patch;
        for (const auto& [h, v] : samples)
            patch.components.push_back({h, v, std::vector<int16_t>(size_t(h * v) * 64, int16_t(h * 37 - v))});
        QByteArray out;
        codec::SpliceSequentialJpeg(bytes, {patch}, {}, &out);
    }
    return 0;
}
