// Sockets on Linux with the WinSock semantics the gateway relies on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/net.h"

namespace plat {

namespace {
sockaddr_in ToSockaddr(const SockAddrIn& a) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = a.port;
    sa.sin_addr.s_addr = a.addr;
    return sa;
}
int Fd(SocketHandle s) { return static_cast<int>(s); }
}  // namespace

int NetStartup() { return 0; }
void NetCleanup() {}

SocketHandle TcpSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? kInvalidSocket : fd;
}

int Bind(SocketHandle s, const SockAddrIn& addr) {
    // WinSock lets a new listener bind while connections of an earlier one
    // still linger on the port (TIME_WAIT, or FIN_WAIT after a crash). Linux
    // needs SO_REUSEADDR for that; it still refuses a port that another
    // socket listens on, so no port is shared.
    int one = 1;
    ::setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa = ToSockaddr(addr);
    return ::bind(Fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 ? 0 : kSocketError;
}

int Listen(SocketHandle s, int backlog) { return ::listen(Fd(s), backlog) == 0 ? 0 : kSocketError; }

SocketHandle Accept(SocketHandle s, SockAddrIn* addr) {
    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    int fd;
    do {
        fd = ::accept4(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kInvalidSocket;
    if (addr) {
        std::memset(addr, 0, sizeof(*addr));
        addr->family = 2;
        addr->port = sa.sin_port;
        addr->addr = sa.sin_addr.s_addr;
    }
    return fd;
}

int Connect(SocketHandle s, const SockAddrIn& addr) {
    sockaddr_in sa = ToSockaddr(addr);
    int r;
    do {
        r = ::connect(Fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    } while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : kSocketError;
}

int Send(SocketHandle s, const void* data, int len, int flags) {
    ssize_t n;
    do {
        n = ::send(Fd(s), data, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? kSocketError : static_cast<int>(n);
}

int Recv(SocketHandle s, void* data, int len, int flags) {
    int f = (flags & kMsgPeek) ? MSG_PEEK : 0;
    ssize_t n;
    do {
        n = ::recv(Fd(s), data, static_cast<size_t>(len), f);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? kSocketError : static_cast<int>(n);
}

int ShutdownBoth(SocketHandle s) { return ::shutdown(Fd(s), SHUT_RDWR) == 0 ? 0 : kSocketError; }
int ShutdownSend(SocketHandle s) { return ::shutdown(Fd(s), SHUT_WR) == 0 ? 0 : kSocketError; }

int CloseSocket(SocketHandle s) { return ::close(Fd(s)) == 0 ? 0 : kSocketError; }

static int SetTimeout(SocketHandle s, int opt, uint32_t ms) {
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return ::setsockopt(Fd(s), SOL_SOCKET, opt, &tv, sizeof(tv)) == 0 ? 0 : kSocketError;
}

int SetRecvTimeout(SocketHandle s, uint32_t ms) { return SetTimeout(s, SO_RCVTIMEO, ms); }
int SetSendTimeout(SocketHandle s, uint32_t ms) { return SetTimeout(s, SO_SNDTIMEO, ms); }

int SetNonBlocking(SocketHandle s, bool on) {
    int v = on ? 1 : 0;
    return ::ioctl(Fd(s), FIONBIO, &v) == 0 ? 0 : kSocketError;
}

int LocalPort(SocketHandle s) {
    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

int SocketError() { return errno; }

bool IsTransientAcceptError(int error) {
    switch (error) {
        case ECONNABORTED:
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case EINTR:
        case EAGAIN:
        case EPROTO:
        case EPERM:
        // Network errors of the pending connection that Linux passes on.
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

uint16_t HostToNet16(uint16_t v) { return htons(v); }
uint32_t HostToNet32(uint32_t v) { return htonl(v); }

uint32_t InetAddr(const char* dotted) {
    in_addr a;
    if (!dotted || ::inet_aton(dotted, &a) == 0) return kInaddrNone;
    return a.s_addr;
}

void InetNtoa(uint32_t addr, char* out) {
    in_addr a;
    a.s_addr = addr;
    if (!::inet_ntop(AF_INET, &a, out, 16)) out[0] = '\0';
}

int ResolveHostName(const char* host, uint32_t* addr) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int r = ::getaddrinfo(host, nullptr, &hints, &res);
    if (r != 0 || !res) {
        if (res) ::freeaddrinfo(res);
        return r == EAI_SYSTEM ? errno : 11001;  // host not found
    }
    *addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(res);
    return 0;
}

}  // namespace plat
