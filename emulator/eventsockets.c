/* Preloaded into every program of the test bed, before umockdev's library.
 * umockdev turns a program's udev listening socket into a Unix socket bound
 * to "event<fd>" in the bed's folder, removing whatever had that name: two
 * programs in one bed whose sockets have the same descriptor number would
 * take each other's place, and the first would hear no more plugs and
 * unplugs. Here such a socket is bound under a name of its own process
 * ("event<pid>-<fd>"), which the bed sends its events to as well. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/netlink.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

enum { tracked = 4096 };
static atomic_bool listening[tracked]; /* by descriptor */

typedef int (*SocketFn)(int, int, int);
typedef int (*BindFn)(int, const struct sockaddr *, socklen_t);
typedef int (*CloseFn)(int);

static void eventPath(int fd, char *path, size_t size)
{
    snprintf(path, size, "%s/event%ld-%d", getenv("UMOCKDEV_DIR"), (long)getpid(), fd);
}

int socket(int domain, int type, int protocol)
{
    static SocketFn next;
    if (!next)
        next = (SocketFn)dlsym(RTLD_NEXT, "socket");
    const int fd = next(domain, type, protocol);
    if (fd >= 0 && fd < tracked)
        atomic_store(&listening[fd],
            domain == AF_NETLINK && protocol == NETLINK_KOBJECT_UEVENT && getenv("UMOCKDEV_DIR"));
    return fd;
}

int bind(int fd, const struct sockaddr *address, socklen_t length)
{
    static BindFn next, system;
    if (!next) {
        next = (BindFn)dlsym(RTLD_NEXT, "bind");
        /* The C library's own: umockdev's would choose the name again. */
        void *libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
        system = libc ? (BindFn)dlsym(libc, "bind") : NULL;
    }
    if (fd < 0 || fd >= tracked || !atomic_load(&listening[fd]) || !system)
        return next(fd, address, length);
    struct sockaddr_un own;
    memset(&own, 0, sizeof own);
    own.sun_family = AF_UNIX;
    eventPath(fd, own.sun_path, sizeof own.sun_path);
    unlink(own.sun_path);
    return system(fd, (const struct sockaddr *)&own, sizeof own);
}

int close(int fd)
{
    static CloseFn next;
    if (!next)
        next = (CloseFn)dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd < tracked && atomic_exchange(&listening[fd], false)) {
        char path[sizeof(((struct sockaddr_un *)0)->sun_path)];
        eventPath(fd, path, sizeof path);
        unlink(path);
    }
    return next(fd);
}
