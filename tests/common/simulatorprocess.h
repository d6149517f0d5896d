#pragma once

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

// Runs the real unit simulator on a fleet file written to a private folder and collects the event
// lines it prints. Stops the simulator when it goes out of scope.
class SimulatorProcess
{
public:
    SimulatorProcess()
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] {
            m_pending += m_process.readAllStandardOutput();
            qsizetype end;
            while ((end = m_pending.indexOf('\n')) >= 0) {
                m_lines.append(QString::fromUtf8(m_pending.left(end)));
                m_pending.remove(0, end + 1);
            }
        });
    }
    ~SimulatorProcess() { stop(); }
    SimulatorProcess(const SimulatorProcess &) = delete;
    SimulatorProcess &operator=(const SimulatorProcess &) = delete;

    // Starts the simulator; true once it reported READY with the given number of units.
    bool start(const QString &fleet, int units)
    {
        if (!launch(fleet))
            return false;
        const QString ready = QStringLiteral("READY %1").arg(units);
        return waitForLine(ready, 20000) && m_lines.first() == ready;
    }

    // Starts the simulator without waiting for anything.
    bool launch(const QString &fleet)
    {
        const QString path = m_dir.filePath(QStringLiteral("fleet.ini"));
        QFile file(path);
        if (!m_dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(fleet.toUtf8()) < 0)
            return false;
        file.close();
        return run({path});
    }

    // Starts the simulator with these arguments (one of its other modes) without waiting.
    bool run(const QStringList &arguments)
    {
        m_process.start(QStringLiteral(BRYX_BIN_DIR "/unitsim"), arguments);
        return m_process.waitForStarted(10000);
    }

    bool waitForLine(const QString &line, int timeoutMs = 60000)
    {
        return QTest::qWaitFor([&] { return m_lines.contains(line); }, timeoutMs);
    }

    // The first line that starts with the prefix, waiting for it; empty when none came in time.
    QString waitForPrefix(const QString &prefix, int timeoutMs = 60000)
    {
        QString found;
        [[maybe_unused]] const bool seen = QTest::qWaitFor(
            [&] {
                for (const QString &line : std::as_const(m_lines)) {
                    if (line.startsWith(prefix)) {
                        found = line;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return found;
    }

    bool waitForExit(int timeoutMs = 60000)
    {
        return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    const QStringList &lines() const { return m_lines; }
    bool hasLineStartingWith(const QString &prefix) const
    {
        for (const QString &line : m_lines) {
            if (line.startsWith(prefix))
                return true;
        }
        return false;
    }
    QProcess &process() { return m_process; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_pending;
    QStringList m_lines;
};
