// The settings file reader and writer, and the integer values read from it.
#include "Profile.h"
#include "StringRoutines.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const char* section : {"Image", "JPEG", "PNG"})
        for (const char* key : {"Front", "Rate", "Prgrs"})
            if (auto v = platform::ProfileLookup(content, section, key))
                basFunc::IntegerValue(*v, -32768, 32767);
    // Writing a value and reading it back gives that value.
    const QByteArray updated = platform::ProfileUpdate(content, "JPEG", "Rate", "42");
    const auto back = platform::ProfileLookup(updated, "JPEG", "Rate");
    if (!back || *back != QLatin1String("42"))
        __builtin_trap();
    return 0;
}
