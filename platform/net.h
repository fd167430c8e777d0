// IPv4 stream sockets with WinSock 1.1 semantics on both systems: time-outs
// in milliseconds, MSG_PEEK, non-blocking mode, shutdown of both directions.
// Sends never raise SIGPIPE. Errors are read with SocketError().
#pragma once

#include <cstdint>

namespace plat {

using SocketHandle = intptr_t;
constexpr SocketHandle kInvalidSocket = -1;
constexpr int kSocketError = -1;
constexpr int kMsgPeek = 2;
constexpr uint32_t kInaddrAny = 0;
constexpr uint32_t kInaddrNone = 0xFFFFFFFFu;

// A socket address as WinSock lays it out: 16 bytes.
struct SockAddrIn {
    uint16_t family;  // 2 (AF_INET)
    uint16_t port;    // network byte order
    uint32_t addr;    // network byte order
    uint8_t zero[8];
};
static_assert(sizeof(SockAddrIn) == 16, "socket address must be 16 bytes");

// WSAStartup(1.1) / WSACleanup; counted, so pairs may nest. 0 on success.
int NetStartup();
void NetCleanup();

SocketHandle TcpSocket();
int Bind(SocketHandle s, const SockAddrIn& addr);
int Listen(SocketHandle s, int backlog);
// Blocks until a connection arrives; fills addr when given.
SocketHandle Accept(SocketHandle s, SockAddrIn* addr);
int Connect(SocketHandle s, const SockAddrIn& addr);
// One send/recv call; bytes moved, 0 on orderly close (recv), -1 on error
// or time-out.
int Send(SocketHandle s, const void* data, int len, int flags);
int Recv(SocketHandle s, void* data, int len, int flags);
int ShutdownBoth(SocketHandle s);
// Ends the sending direction only (the peer reads end of stream).
int ShutdownSend(SocketHandle s);
int CloseSocket(SocketHandle s);
int SetRecvTimeout(SocketHandle s, uint32_t ms);
int SetSendTimeout(SocketHandle s, uint32_t ms);
int SetNonBlocking(SocketHandle s, bool on);
// The port a socket is bound to, in host order (0 on failure).
int LocalPort(SocketHandle s);

// Last socket error of the calling thread.
int SocketError();
// True for an accept failure that passes: the connection was aborted by its
// peer, or descriptors, buffers or memory ran out for the moment, or the call
// was interrupted. The listening socket itself is still sound.
bool IsTransientAcceptError(int error);

uint16_t HostToNet16(uint16_t v);
uint32_t HostToNet32(uint32_t v);
// Dotted IPv4 text to an address in network order; kInaddrNone on failure.
uint32_t InetAddr(const char* dotted);
// Address in network order to dotted text; out holds at least 16 bytes.
void InetNtoa(uint32_t addr, char* out);
// First IPv4 address of a host name (network order); 0 on success, else a
// socket error code.
int ResolveHostName(const char* host, uint32_t* addr);

// Owns a socket: closes it when it goes unless released.
class CSocket {
public:
    CSocket() = default;
    explicit CSocket(SocketHandle s) : m_socket(s) {}
    ~CSocket() { Close(); }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    CSocket(CSocket&& o) noexcept : m_socket(o.Release()) {}
    CSocket& operator=(CSocket&& o) noexcept {
        if (this != &o) {
            Close();
            m_socket = o.Release();
        }
        return *this;
    }
    SocketHandle Get() const { return m_socket; }
    bool IsValid() const { return m_socket != kInvalidSocket; }
    SocketHandle Release() {
        SocketHandle s = m_socket;
        m_socket = kInvalidSocket;
        return s;
    }
    int Close() {
        int r = 0;
        if (m_socket != kInvalidSocket) r = CloseSocket(m_socket);
        m_socket = kInvalidSocket;
        return r;
    }

private:
    SocketHandle m_socket = kInvalidSocket;
};

}  // namespace plat
