#include "basCommon.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    basCommon::InstallJapaneseTranslation();
    return basCommon::Main();
}
