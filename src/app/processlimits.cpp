#include "processlimits.h"

#include <QFileInfo>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

void allowEveryDescriptor()
{
#ifdef Q_OS_UNIX
    rlimit descriptors;
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur < descriptors.rlim_max) {
        descriptors.rlim_cur = descriptors.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &descriptors);
    }
#endif
}

void readLocalTimeZoneOnce()
{
#ifdef Q_OS_LINUX
    if (!qEnvironmentVariableIsSet("TZ") && QFileInfo::exists(QStringLiteral("/etc/localtime")))
        qputenv("TZ", ":/etc/localtime");
#endif
}
