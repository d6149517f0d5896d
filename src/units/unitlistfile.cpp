#include "unitlistfile.h"

#include "marluneunit.h"
#include "unitfields.h"
#include "../app/debuglog.h"
#include "../app/fileidentity.h"
#include "../app/folders.h"
#include "../app/runningthread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QSettings>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <memory>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <unistd.h>
#endif

static const char kLogSource[] = "unitlistfile";

namespace {

template <typename T> void writeValue(QSettings &settings, const char *key, const T &value)
{
    settings.setValue(key, value);
}

// An array is one key per element: "playChannel[0]" ... "playChannel[9]".
void writeValue(QSettings &settings, const char *key, const MarluneUnit::Channels &channels)
{
    for (int i = 0; i < int(channels.size()); ++i)
        settings.setValue(QString::fromLatin1(key) + QLatin1Char('[') + QString::number(i) + QLatin1Char(']'),
                          channels[size_t(i)]);
}

void writeUnitGroup(QSettings &settings, const MarluneUnit &unit)
{
    settings.beginGroup(unit.mac);
    for (const UnitField &field : unitFields()) {
        if (field.persisted)
            std::visit([&](auto member) { writeValue(settings, field.key, unit.*member); }, field.member);
    }
    settings.endGroup();
}

// The MACs the [MACS] array really holds, in index order. Its "size" key is not trusted: a
// corrupt or hostile size must neither make the list huge nor, when too small or negative, let
// a new entry overwrite one that is there.
QStringList listedMacs(QSettings &settings)
{
    settings.beginGroup(QStringLiteral("MACS"));
    QMap<int, QString> byIndex;
    for (const QString &group : settings.childGroups()) {
        bool ok = false;
        const int index = group.toInt(&ok);
        if (ok && index >= 1)
            byIndex.insert(index, settings.value(group + QStringLiteral("/mac")).toString());
    }
    settings.endGroup();
    return byIndex.values();
}

// Rewrites the [MACS] array with these MACs, numbered from 1 without gaps; entries numbered
// beyond the list are dropped.
void writeMacs(QSettings &settings, const QStringList &macs)
{
    settings.remove(QStringLiteral("MACS"));
    settings.beginWriteArray("MACS", int(macs.size()));
    for (int i = 0; i < macs.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue("mac", macs.at(i));
    }
    settings.endArray();
}

std::atomic<UnitListWriter *> currentWriter{nullptr};

// Stores the units into settings that hold the file as it is on disk, and writes it out: sync()
// takes the settings layer's lock file (which the sibling tool's layer honours as well), merges
// in what changed on disk meanwhile, writes the whole file beside it and renames it into place.
void storeInto(QSettings &settings, const QList<MarluneUnit> &units)
{
    settings.setAtomicSyncRequired(true);
    QStringList macs = listedMacs(settings);
    QSet<QString> listed(macs.cbegin(), macs.cend());
    bool grew = false;
    for (const MarluneUnit &unit : units) {
        if (!listed.contains(unit.mac)) {
            listed.insert(unit.mac);
            macs.append(unit.mac);
            grew = true;
        }
    }
    if (grew)
        writeMacs(settings, macs);
    for (const MarluneUnit &unit : units)
        writeUnitGroup(settings, unit);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        BLOG << settings.fileName() << "could not be written";
}

} // namespace

void storeUnitsIn(const QString &iniPath, const QList<MarluneUnit> &units)
{
    // A settings object made now reads the file as it is now.
    QSettings settings(iniPath, QSettings::IniFormat);
    storeInto(settings, units);
}

void storeUnitIn(const QString &iniPath, const MarluneUnit &unit)
{
    storeUnitsIn(iniPath, {unit});
}

// Lives on the writer's thread. The units stored since the last write wait here, the latest
// record of each MAC in the place its first store gave it; a write stores them all at once.
class UnitListWriter::Worker final : public QObject
{
public:
    static constexpr int kWritePauseMs = 1000;

    explicit Worker(const QString &path);
    // Keeps the unit for the next write, which comes now when the last is a pause ago.
    void take(const MarluneUnit &unit);
    // Stores every unit waiting.
    void write();

private:
    const QString path;
    std::unique_ptr<QSettings> settings;
    // The file as this writer last wrote it.
    FileIdentity written;
    QList<MarluneUnit> pending;
    QHash<QString, qsizetype> pendingPlace;
    QElapsedTimer sinceWrite;
    qint64 writePauseMs = kWritePauseMs;
    QTimer writeLater;
};

UnitListWriter::Worker::Worker(const QString &path) : path(path), writeLater(this)
{
    writeLater.setSingleShot(true);
    connect(&writeLater, &QTimer::timeout, this, &Worker::write);
}

void UnitListWriter::Worker::take(const MarluneUnit &unit)
{
    const auto place = pendingPlace.constFind(unit.mac);
    if (place != pendingPlace.cend()) {
        pending[*place] = unit;
    } else {
        pendingPlace.insert(unit.mac, pending.size());
        pending.append(unit);
    }
    if (!sinceWrite.isValid() || sinceWrite.hasExpired(writePauseMs))
        write();
    else if (!writeLater.isActive())
        writeLater.start(int(qMax<qint64>(0, writePauseMs - sinceWrite.elapsed())));
}

void UnitListWriter::Worker::write()
{
    writeLater.stop();
    if (pending.isEmpty())
        return;
    QElapsedTimer writing;
    writing.start();
    // The file as this writer left it is still in memory: it is read again only when it is
    // not that file any more (the sibling tool wrote it, or it is gone). Reading a large
    // fleet's file costs as much as writing it.
    if (!settings || FileIdentity::of(path) != written) {
        settings.reset();
        settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    }
    storeInto(*settings, pending);
    written = FileIdentity::of(path);
    pending.clear();
    pendingPlace.clear();
    sinceWrite.start();
    // Reading and writing a large fleet's file takes a good part of a second, and the
    // window's thread shares the processor with this one: the pause is kept ten times as
    // long as the write.
    writePauseMs = qMax<qint64>(kWritePauseMs, 10 * writing.elapsed());
}

UnitListWriter::UnitListWriter(const QString &path, QObject *parent)
    : QObject(parent), worker(new Worker(path.isEmpty() ? Folders::unitListPath() : path))
{
    thread.setObjectName(QStringLiteral("unitlist"));
#ifdef Q_OS_LINUX
    // A thread has a nice value of its own here: the writer gives way to the window's thread
    // when both want the processor.
    connect(
        &thread, &QThread::started, &thread, [] { ::setpriority(PRIO_PROCESS, id_t(::gettid()), 10); },
        Qt::DirectConnection);
#endif
    QString error;
    if (!startRunning(&thread, &error)) {
        // Without its thread the file is written where each unit is stored, as without a writer.
        BLOG << "units.ini is written as each unit is stored:" << error;
        delete worker;
        worker = nullptr;
        return;
    }
    worker->moveToThread(&thread);
    // As the thread ends, on the thread itself: the stores still queued are taken, everything is
    // written, and the worker goes.
    connect(
        &thread, &QThread::finished, &thread,
        [held = worker] {
            QCoreApplication::sendPostedEvents(held);
            held->write();
            delete held;
        },
        Qt::DirectConnection);
    currentWriter.store(this);
}

UnitListWriter::~UnitListWriter()
{
    UnitListWriter *self = this;
    currentWriter.compare_exchange_strong(self, nullptr);
    thread.quit();
    thread.wait();
}

void UnitListWriter::store(const MarluneUnit &unit)
{
    QMetaObject::invokeMethod(worker, [held = worker, unit] { held->take(unit); }, Qt::QueuedConnection);
}

void UnitListWriter::flush()
{
    QMetaObject::invokeMethod(worker, &Worker::write, Qt::BlockingQueuedConnection);
}

UnitListWriter *UnitListWriter::current()
{
    return currentWriter.load();
}

void storeUnit(const MarluneUnit &unit)
{
    if (UnitListWriter *writer = UnitListWriter::current())
        writer->store(unit);
    else
        storeUnitIn(Folders::unitListPath(), unit);
}

void flushUnitList()
{
    if (UnitListWriter *writer = UnitListWriter::current())
        writer->flush();
}
