// Replays inputs through a harness's LLVMFuzzerTestOneInput without libFuzzer, so that normal
// builds (any compiler) run the committed corpus as a test. Every argument is a file or a folder
// of files. A crash or sanitizer report fails the run; so does an input parsed more slowly than
// --max-ms, when given. Prints the number of inputs and the slowest ones.

#include "harness.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Timing
{
    double ms;
    QString path;
};

QStringList inputFiles(const QString &argument)
{
    if (!QFileInfo(argument).isDir())
        return {argument};
    QStringList files;
    QDirIterator it(argument, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    files.sort();
    return files;
}

} // namespace

int main(int argc, char **argv)
{
    double maxMs = -1;
    int shown = 3;
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--max-ms") == 0 && i + 1 < argc)
            maxMs = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--show") == 0 && i + 1 < argc)
            shown = std::atoi(argv[++i]);
        else
            files += inputFiles(QString::fromLocal8Bit(argv[i]));
    }
    if (files.isEmpty()) {
        std::fprintf(stderr, "usage: %s [--max-ms MS] [--show N] FILE-OR-FOLDER...\n", argv[0]);
        return 2;
    }

    QList<Timing> timings;
    for (const QString &path : std::as_const(files)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
            return 2;
        }
        const QByteArray input = file.readAll();
        QElapsedTimer timer;
        timer.start();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
        timings.append({double(timer.nsecsElapsed()) / 1e6, path});
    }

    std::sort(timings.begin(), timings.end(), [](const Timing &a, const Timing &b) { return a.ms > b.ms; });
    std::printf("%lld inputs replayed\n", static_cast<long long>(timings.size()));
    int slow = 0;
    for (qsizetype i = 0; i < timings.size(); ++i) {
        const bool tooSlow = maxMs >= 0 && timings[i].ms > maxMs;
        if (tooSlow)
            ++slow;
        if (tooSlow || i < shown)
            std::printf("%s%9.3f ms  %s\n", tooSlow ? "SLOW " : "", timings[i].ms, qPrintable(timings[i].path));
    }
    return slow == 0 ? 0 : 1;
}
