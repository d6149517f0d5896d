// The input is the contents of a package's .ver file.

#include "harness.h"

#include "packages/updatepackage.h"

#include <QFile>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::silenceDebugLines();
    static const QString path = fuzz::scratchFolder() + QStringLiteral("/package.ver");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    QDateTime webVer, swVer, minSwVer;
    QString addOn;
    QStringList includes;
    parseVerFile(path, &webVer, &swVer, &minSwVer, &addOn, &includes);
    return 0;
}
