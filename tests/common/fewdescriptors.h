#pragma once

#include <QList>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

// Lowers this process's own limit on open descriptors to `spare` above those open now, for as
// long as it lives. takeAll() then uses up what is left, giveBack() returns it.
struct FewDescriptors
{
    explicit FewDescriptors(int spare)
    {
        ::getrlimit(RLIMIT_NOFILE, &before);
        rlimit lowered = before;
        lowered.rlim_cur = rlim_t(open() + spare);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        limit = int(lowered.rlim_cur);
    }
    ~FewDescriptors()
    {
        giveBack();
        ::setrlimit(RLIMIT_NOFILE, &before);
    }
    void takeAll()
    {
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) != -1;)
            taken.append(fd);
    }
    void giveBack()
    {
        for (int fd : std::as_const(taken))
            ::close(fd);
        taken.clear();
    }
    // Counted without opening anything: listing /proc/self/fd needs a descriptor of its own.
    static int open()
    {
        int count = 0;
        for (int fd = 0; fd < 65536; ++fd)
            count += ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;
        return count;
    }
    rlimit before;
    int limit = 0;
    QList<int> taken;
};
