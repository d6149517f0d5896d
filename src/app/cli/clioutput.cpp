// The tool's output: JSON events on stdout, lines for people on stderr, the live line on a
// terminal, and what happens when nobody reads any more.
#include "clirun.h"

#include "app/outputtext.h"
#include "update/unitstatus.h"
#include "update/updatercore.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTimer>

// False when the bytes could not all be written: the reader went away (SIGPIPE is ignored, so a
// closed pipe is an error here), or the disk is full.
bool write(FILE *file, const QByteArray &bytes)
{
    const size_t written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file);
    return std::fflush(file) == 0 && written == size_t(bytes.size());
}

bool write(FILE *file, const QString &text)
{
    return write(file, text.toUtf8());
}

// Nobody reads what the tool writes any more: the run winds down as at a first signal (the units
// commanded finish, no more are), and its exit code says it was stopped.
void CliRun::lostOutput()
{
    if (outputGone)
        return;
    outputGone = true;
    say(QStringLiteral("Standard output was closed: stopping."));
    if (!done)
        QTimer::singleShot(0, this, &CliRun::interrupt);
    else
        code = kExitStopped;
}

// One event: a JSON object on stdout with --json (its time added), and its line, if it has one,
// on stderr (not with --quiet).
void CliRun::event(const QJsonObject &object, const QString &text)
{
    if (outputClosed)
        return;
    if (options.format == CliOptions::Format::Json) {
        QJsonObject stamped = object;
        if (!stamped.contains(QStringLiteral("time")))
            stamped.insert(QStringLiteral("time"), jsonTime(QDateTime::currentDateTime()));
        if (!write(out, jsonText(QJsonDocument(stamped), QJsonDocument::Compact) + '\n'))
            lostOutput();
    }
    if (!text.isEmpty())
        note(text);
}

// A line on stderr; a unit's name in it shows its control characters as text.
void CliRun::say(const QString &text)
{
    if (outputClosed)
        return;
    clearBar();
    write(err, QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss ")) + escapedControls(text)
                   + QLatin1Char('\n'));
    drawBar();
}

void CliRun::print(const QString &line)
{
    if (!outputClosed && !write(out, escapedControls(line) + QLatin1Char('\n')))
        lostOutput();
}

// A line of progress: --quiet leaves it out. (Warnings, errors and the summary are said.)
void CliRun::note(const QString &text)
{
    if (!quiet)
        say(text);
}

// On a terminal, the batch at a glance stays on the last line, with the time it has taken and
// the estimate of the time left.
void CliRun::drawBar()
{
    if (!interactive || quiet || !following || done)
        return;
    const PipelineState &state = core.state();
    const BatchCounts counts = batchCounts(state, core.catalogue());
    QString bar = batchSummary(state, counts);
    const QString timing = batchTiming(state, counts, QDateTime::currentDateTime());
    if (!timing.isEmpty())
        bar += kSummarySeparator + timing;
    write(err, QStringLiteral("\r\033[K") + bar);
    barShown = true;
}

void CliRun::clearBar()
{
    if (!barShown)
        return;
    write(err, QStringLiteral("\r\033[K"));
    barShown = false;
}
