// IPv4 stream sockets on Windows: WinSock, asked for version 1.1.
#include "platform/win32/win.h"

#include <atomic>
#include <cstring>

#include "platform/net.h"

namespace plat {

namespace {

// Start-ups that NetCleanup may still undo; WinSock counts them itself too.
std::atomic<int> g_startups{0};

SOCKET Sock(SocketHandle s) { return static_cast<SOCKET>(s); }

sockaddr_in ToNative(const SockAddrIn& a) {
    sockaddr_in sin;
    static_assert(sizeof(sin) == sizeof(a), "socket address layouts differ");
    std::memcpy(&sin, &a, sizeof(sin));
    return sin;
}

int Result(int r) { return r == SOCKET_ERROR ? kSocketError : r; }

}  // namespace

int NetStartup() {
    WSADATA data;
    int r = WSAStartup(MAKEWORD(1, 1), &data);
    if (r == 0) ++g_startups;
    return r;
}

void NetCleanup() {
    int n = g_startups.load();
    while (n > 0) {
        if (g_startups.compare_exchange_weak(n, n - 1)) {
            WSACleanup();
            return;
        }
    }
}

SocketHandle TcpSocket() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    return static_cast<SocketHandle>(s);
}

int Bind(SocketHandle s, const SockAddrIn& addr) {
    sockaddr_in sin = ToNative(addr);
    return Result(::bind(Sock(s), reinterpret_cast<const sockaddr*>(&sin), sizeof(sin)));
}

int Listen(SocketHandle s, int backlog) { return Result(::listen(Sock(s), backlog)); }

SocketHandle Accept(SocketHandle s, SockAddrIn* addr) {
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof(sin));
    int len = sizeof(sin);
    SOCKET c = ::accept(Sock(s), reinterpret_cast<sockaddr*>(&sin), &len);
    if (c == INVALID_SOCKET) return kInvalidSocket;
    if (addr) std::memcpy(addr, &sin, sizeof(*addr));
    return static_cast<SocketHandle>(c);
}

int Connect(SocketHandle s, const SockAddrIn& addr) {
    sockaddr_in sin = ToNative(addr);
    return Result(::connect(Sock(s), reinterpret_cast<const sockaddr*>(&sin), sizeof(sin)));
}

int Send(SocketHandle s, const void* data, int len, int flags) {
    return Result(::send(Sock(s), static_cast<const char*>(data), len, flags));
}

int Recv(SocketHandle s, void* data, int len, int flags) {
    return Result(::recv(Sock(s), static_cast<char*>(data), len, flags));
}

int ShutdownBoth(SocketHandle s) {
    int r = Result(::shutdown(Sock(s), SD_BOTH));
    // A receive or accept blocked on the socket in another thread is not
    // woken by the shutdown itself, as it is on Linux; cancelling the
    // socket's pending calls makes it fail at once (error 995). The caller
    // keeps the shutdown's own error.
    int error = WSAGetLastError();
    CancelIoEx(reinterpret_cast<HANDLE>(Sock(s)), nullptr);
    WSASetLastError(error);
    return r;
}
int ShutdownSend(SocketHandle s) { return Result(::shutdown(Sock(s), SD_SEND)); }

int CloseSocket(SocketHandle s) { return Result(::closesocket(Sock(s))); }

int SetRecvTimeout(SocketHandle s, uint32_t ms) {
    DWORD v = ms;
    return Result(
        ::setsockopt(Sock(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v), sizeof(v)));
}

int SetSendTimeout(SocketHandle s, uint32_t ms) {
    DWORD v = ms;
    return Result(
        ::setsockopt(Sock(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&v), sizeof(v)));
}

int SetNonBlocking(SocketHandle s, bool on) {
    u_long arg = on ? 1 : 0;
    return Result(::ioctlsocket(Sock(s), FIONBIO, &arg));
}

int LocalPort(SocketHandle s) {
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof(sin));
    int len = sizeof(sin);
    if (::getsockname(Sock(s), reinterpret_cast<sockaddr*>(&sin), &len) != 0) return 0;
    return ntohs(sin.sin_port);
}

int SocketError() { return WSAGetLastError(); }

bool IsTransientAcceptError(int error) {
    switch (error) {
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAEMFILE:
        case WSAENOBUFS:
        case WSAEINTR:
        case WSAEWOULDBLOCK:
        case WSAENETDOWN:
        case WSAEINPROGRESS:
            return true;
        default:
            return false;
    }
}

uint16_t HostToNet16(uint16_t v) { return htons(v); }
uint32_t HostToNet32(uint32_t v) { return htonl(v); }

uint32_t InetAddr(const char* dotted) {
    if (!dotted) return kInaddrNone;
    return ::inet_addr(dotted);
}

void InetNtoa(uint32_t addr, char* out) {
    in_addr a;
    a.s_addr = addr;
    const char* text = ::inet_ntoa(a);
    if (!text) text = "";
    std::strncpy(out, text, 15);
    out[15] = '\0';
}

int ResolveHostName(const char* host, uint32_t* addr) {
    if (!host) return WSAHOST_NOT_FOUND;
    // A look-up needs WinSock started; its own start-up pair (counted, so
    // cheap when the caller has one) lets it work as on Linux without one.
    WSADATA data;
    int r = WSAStartup(MAKEWORD(1, 1), &data);
    if (r != 0) return r;
    hostent* h = ::gethostbyname(host);
    if (!h) {
        r = WSAGetLastError();
    } else if (h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list ||
               !h->h_addr_list[0]) {
        r = WSANO_DATA;
    } else {
        std::memcpy(addr, h->h_addr_list[0], 4);
    }
    WSACleanup();
    WSASetLastError(r);
    return r;
}

}  // namespace plat
