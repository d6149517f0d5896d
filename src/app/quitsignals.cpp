#include "quitsignals.h"

#include "debuglog.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

static const char kLogSource[] = "main";

namespace {

#ifdef Q_OS_UNIX
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int signalPipe[2] = {-1, -1};
struct sigaction previous[sizeof kSignals / sizeof *kSignals];

void onSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    // A full pipe already holds a request to quit: nothing is lost.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}
#endif

} // namespace

QuitSignals::QuitSignals(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        BLOG << "Signals to quit cannot be handled: no pipe";
        return;
    }
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &QuitSignals::takeSignal);
    for (size_t i = 0; i < sizeof kSignals / sizeof *kSignals; ++i) {
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(kSignals[i], &action, &previous[i]);
    }
#endif
}

QuitSignals::~QuitSignals()
{
#ifdef Q_OS_UNIX
    if (!notifier)
        return;
    for (size_t i = 0; i < sizeof kSignals / sizeof *kSignals; ++i)
        ::sigaction(kSignals[i], &previous[i], nullptr);
    delete notifier;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
#endif
}

void QuitSignals::takeSignal()
{
#ifdef Q_OS_UNIX
    char number = 0;
    while (::read(signalPipe[0], &number, 1) == 1) {
        BLOG << "Signal" << int(number) << "received" << (quitOnSignal ? ": quitting" : "");
        Q_EMIT received(int(number));
    }
#endif
    requested = true;
    if (quitOnSignal)
        QCoreApplication::quit();
}
