// LD_PRELOAD shim for the anchor (vsmartcard's vpcd in pcscd, and vicc):
// every TCP socket the process creates or accepts gets TCP_NODELAY and
// TCP_QUICKACK. vpcd writes a length and then the APDU in two writes, so with
// the stock settings each APDU waits about 40 ms for a delayed ACK, which
// would measure the kernel's timer rather than the reader stack.
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

void no_delays(int fd)
{
    const int on = 1;
    // Not a TCP socket: both calls fail harmlessly.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

template <typename Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool is_tcp(int domain, int type)
{
    return (domain == AF_INET || domain == AF_INET6) && (type & 0xF) == SOCK_STREAM;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int socket(int domain, int type, int protocol)
{
    static const auto real = next<int (*)(int, int, int)>("socket");
    const int fd = real(domain, type, protocol);
    if (fd >= 0 && is_tcp(domain, type))
        no_delays(fd);
    return fd;
}

__attribute__((visibility("default"))) int accept(int fd, sockaddr *address, socklen_t *length)
{
    static const auto real = next<int (*)(int, sockaddr *, socklen_t *)>("accept");
    const int client = real(fd, address, length);
    if (client >= 0)
        no_delays(client);
    return client;
}

__attribute__((visibility("default"))) int accept4(int fd, sockaddr *address, socklen_t *length, int flags)
{
    static const auto real = next<int (*)(int, sockaddr *, socklen_t *, int)>("accept4");
    const int client = real(fd, address, length, flags);
    if (client >= 0)
        no_delays(client);
    return client;
}

} // extern "C"
