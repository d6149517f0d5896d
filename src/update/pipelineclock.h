#pragma once

#include <QDateTime>
#include <QElapsedTimer>

#include <functional>

// The two clocks the pipeline decides by: the wall clock its times are stamped with, and a clock
// that only moves forward, whatever the wall clock does, that step deadlines are measured on.
// Tests replace either.
class PipelineClock final
{
public:
    using Clock = std::function<QDateTime()>;
    // Milliseconds on a clock that only moves forward.
    using SteadyClock = std::function<qint64()>;

    PipelineClock() { sinceStart.start(); }

    void setClock(Clock newClock) { clock = std::move(newClock); }
    QDateTime now() const { return clock ? clock() : QDateTime::currentDateTime(); }
    void setSteadyClock(SteadyClock newClock) { steadyClock = std::move(newClock); }
    qint64 steadyMs() const { return steadyClock ? steadyClock() : sinceStart.elapsed(); }

private:
    Clock clock;
    SteadyClock steadyClock;
    QElapsedTimer sinceStart;
};
