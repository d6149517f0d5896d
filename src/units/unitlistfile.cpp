#include "unitlistfile.h"

#include "marluneunit.h"
#include "unitfields.h"
#include "../app/folders.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QHash>
#include <QMap>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <memory>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <unistd.h>
#endif

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

bool samePersistedFields(const MarluneUnit &a, const MarluneUnit &b)
{
    for (const UnitField &field : unitFields()) {
        if (field.persisted && !std::visit([&](auto member) { return a.*member == b.*member; }, field.member))
            return false;
    }
    return true;
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

// The unit list of this run, kept open. Each store used to read, parse and rewrite the whole
// file, and a fleet answering its commands stores every unit twice a pass: the time grew with
// the square of the fleet. Now the parsed file stays in memory, a lone store is written at
// once, and a burst of stores is written together at most once a second (and at exit); when
// the file is large, less often.
class UnitListStore final : public QObject
{
public:
    static constexpr int kWritePauseMs = 1000;

    UnitListStore() : writeLater(this)
    {
        writeLater.setSingleShot(true);
        connect(&writeLater, &QTimer::timeout, this, &UnitListStore::flush);
    }
    ~UnitListStore() override { flush(); }

    void store(const QString &iniPath, const MarluneUnit &unit);
    void flush();

protected:
    // QSettings writes its changes at the next turn of the event loop; this store decides when
    // instead.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        return watched == settings.get() && event->type() == QEvent::UpdateRequest;
    }

private:
    void open(const QString &iniPath);

    QString path;
    std::unique_ptr<QSettings> settings;
    QStringList macs;
    QSet<QString> knownMacs;
    // What was last stored of each unit in this run: a reply that changes nothing that is kept
    // (most of a fleet's replies during an update) is not written again.
    QHash<QString, MarluneUnit> lastStored;
    bool macsRewritten = false;
    QElapsedTimer sinceWrite;
    qint64 writePauseMs = kWritePauseMs;
    QTimer writeLater;
};

void UnitListStore::store(const QString &iniPath, const MarluneUnit &unit)
{
    if (iniPath != path)
        open(iniPath);
    const auto last = lastStored.constFind(unit.mac);
    if (last != lastStored.cend() && samePersistedFields(*last, unit))
        return;
    lastStored.insert(unit.mac, unit);
    if (!knownMacs.contains(unit.mac)) {
        knownMacs.insert(unit.mac);
        macs.append(unit.mac);
        if (macsRewritten) {
            // The array is already numbered without gaps: only the new entry is written.
            settings->beginWriteArray("MACS", int(macs.size()));
            settings->setArrayIndex(int(macs.size()) - 1);
            settings->setValue("mac", unit.mac);
            settings->endArray();
        } else {
            writeMacs(*settings, macs);
            macsRewritten = true;
        }
    }
    writeUnitGroup(*settings, unit);
    if (!sinceWrite.isValid() || sinceWrite.hasExpired(writePauseMs))
        flush();
    else if (!writeLater.isActive())
        writeLater.start(int(qMax<qint64>(0, writePauseMs - sinceWrite.elapsed())));
}

void UnitListStore::flush()
{
    writeLater.stop();
    if (!settings)
        return;
    QElapsedTimer writing;
    writing.start();
    settings->sync();
    sinceWrite.start();
    // Writing out a large fleet's file takes a good part of a second, and the window's thread
    // shares the processor with this one: the pause is kept ten times as long as the write.
    writePauseMs = qMax<qint64>(kWritePauseMs, 10 * writing.elapsed());
}

void UnitListStore::open(const QString &iniPath)
{
    flush();
    path = iniPath;
    settings = std::make_unique<QSettings>(iniPath, QSettings::IniFormat);
    settings->installEventFilter(this);
    macs = listedMacs(*settings);
    knownMacs = QSet<QString>(macs.cbegin(), macs.cend());
    lastStored.clear();
    macsRewritten = false;
    sinceWrite.invalidate();
}

// The store runs on a thread of its own: writing out the file of a thousand units takes a good
// part of a second, which the window must not wait for. Owned by the application, so that what
// it holds is written out before the application goes.
class UnitListThread final : public QObject
{
public:
    UnitListThread() : store(new UnitListStore)
    {
        thread.setObjectName(QStringLiteral("unitlist"));
        store->moveToThread(&thread);
#ifdef Q_OS_LINUX
        // A thread has a nice value of its own here: the writer gives way to the window's thread
        // when both want the processor.
        connect(
            &thread, &QThread::started, &thread, [] { ::setpriority(PRIO_PROCESS, id_t(::gettid()), 10); },
            Qt::DirectConnection);
#endif
        // As the thread ends (the application is going), the stores still queued are made and
        // the file is written, on the thread itself: by then nothing can be sent to it any more.
        connect(
            &thread, &QThread::finished, store,
            [held = store] {
                QCoreApplication::sendPostedEvents(held);
                delete held;
            },
            Qt::DirectConnection);
        thread.start();
    }
    ~UnitListThread() override
    {
        thread.quit();
        thread.wait();
    }

    void save(const QString &iniPath, const MarluneUnit &unit)
    {
        QMetaObject::invokeMethod(store, [held = store, iniPath, unit] { held->store(iniPath, unit); },
                                  Qt::QueuedConnection);
    }
    // Returns once everything saved so far is on disk.
    void flush() { QMetaObject::invokeMethod(store, &UnitListStore::flush, Qt::BlockingQueuedConnection); }

private:
    QThread thread;
    UnitListStore *store;
};

UnitListThread *unitListThread()
{
    static QPointer<UnitListThread> writer;
    if (!writer && QCoreApplication::instance()) {
        writer = new UnitListThread;
        writer->setParent(QCoreApplication::instance());
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, writer.data(),
                         [held = writer.data()] { held->flush(); });
    }
    return writer.data();
}

} // namespace

void storeUnitIn(const QString &iniPath, const MarluneUnit &unit)
{
    QSettings settings(iniPath, QSettings::IniFormat);
    QStringList macs = listedMacs(settings);
    if (!macs.contains(unit.mac)) {
        macs.append(unit.mac);
        writeMacs(settings, macs);
    }
    writeUnitGroup(settings, unit);
}

void storeUnit(const MarluneUnit &unit)
{
    if (UnitListThread *writer = unitListThread())
        writer->save(Folders::unitListPath(), unit);
    else
        storeUnitIn(Folders::unitListPath(), unit);
}

void flushUnitList()
{
    if (UnitListThread *writer = unitListThread())
        writer->flush();
}
