// Outgoing TCP connection over the platform's WinSock-style sockets.
#include "gateway/smtp_out/clientsock.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "gateway/core/diag.h"
#include "platform/system.h"

CClientSock::CClientSock() {
    // A failed start-up makes every later socket call fail on its own.
    m_StartupResult = plat::NetStartup();
    if (m_StartupResult != 0) DLOG("CClientSock: socket start-up failed.\r\n");
}

CClientSock::~CClientSock() {
    m_Socket.Close();
    if (m_StartupResult == 0) plat::NetCleanup();
}

int CClientSock::Connect(int port, const char* address) {
    std::memset(&m_RemoteAddr, 0, sizeof(m_RemoteAddr));
    m_RemoteAddr.family = 2;  // AF_INET
    m_RemoteAddr.port = plat::HostToNet16(static_cast<uint16_t>(port));
    m_RemoteAddr.addr = address ? plat::InetAddr(address) : plat::kInaddrNone;

    // A socket still open from an earlier conversation is closed here; the
    // new one has no time-outs.
    m_Socket = plat::CSocket(plat::TcpSocket());
    m_SendTimeoutMs = 0;
    if (!m_Socket.IsValid()) return 1;
    if (m_RemoteAddr.addr == plat::kInaddrNone || plat::Connect(m_Socket.Get(), m_RemoteAddr) != 0) {
        int err = plat::SocketError();
        m_Socket.Close();
        plat::SetLastError(err);
        return 2;
    }
    return 0;
}

int CClientSock::Disconnect() {
    if (!m_Socket.IsValid()) return 0;
    int result = 0;
    if (plat::ShutdownBoth(m_Socket.Get()) != 0) result = 1;
    // The socket is of no further use either way, so it is always closed.
    if (m_Socket.Close() != 0 && result == 0) result = 2;
    return result;
}

int CClientSock::Send(const char* buffer, int length) {
    if (!buffer) return -1;
    if (length <= 0) length = static_cast<int>(std::strlen(buffer));
    int done = 0;
    while (done < length) {
        auto start = std::chrono::steady_clock::now();
        int n = plat::Send(m_Socket.Get(), buffer + done, length - done, 0);
        if (n <= 0) return -1;
        done += n;
        // A send that the send time-out cut short: the peer has taken
        // nothing more for that long (some systems return the bytes taken
        // before the wait instead of failing).
        if (done < length && m_SendTimeoutMs > 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(m_SendTimeoutMs))
            return -1;
    }
    return done;
}

int CClientSock::SendString(const char* text) { return Send(text, -1); }

int CClientSock::Receive(char* buffer, int capacity) {
    if (!buffer || capacity <= 0) return -1;
    return plat::Recv(m_Socket.Get(), buffer, capacity, 0);
}

int CClientSock::SetReceiveTimeout(uint32_t ms) { return plat::SetRecvTimeout(m_Socket.Get(), ms); }

int CClientSock::SetSendTimeout(uint32_t ms) {
    m_SendTimeoutMs = ms;
    return plat::SetSendTimeout(m_Socket.Get(), ms);
}

int CClientSock::SetNonBlocking(int flag) { return plat::SetNonBlocking(m_Socket.Get(), flag != 0); }

int CClientSock::ReadLine(char* buffer, int n) {
    if (!buffer) return 0;
    if (n <= 0) {
        buffer[0] = '\0';
        return 0;
    }
    int count = 0;
    for (;;) {
        if (Receive(buffer + count, 1) < 1) {
            buffer[0] = '\0';
            return 0;
        }
        if (buffer[count] == '\n') {
            if (count > 0 && buffer[count - 1] == '\r') --count;
            buffer[count] = '\0';
            return count;
        }
        if (++count >= n) {
            buffer[n] = '\0';
            return n;
        }
    }
}

bool CClientSock::IsDataPending() {
    if (!m_Socket.IsValid()) return false;
    char c;
    SetNonBlocking(1);
    int n = plat::Recv(m_Socket.Get(), &c, 1, plat::kMsgPeek);
    SetNonBlocking(0);
    return n > 0;
}

int CClientSock::DrainInput() {
    if (!IsDataPending()) return 0;
    char scratch[50];
    for (;;) {
        if (Receive(scratch, sizeof(scratch)) < 1) break;
        if (!IsDataPending()) break;
    }
    return 0;
}

std::string CClientSock::HostPart(const std::string& text) {
    size_t at = text.find('@');
    if (at == std::string::npos) return text;
    std::string host = text.substr(at + 1);
    size_t cut = host.find_first_of(" >");
    if (cut != std::string::npos) host.resize(cut);
    return host;
}

int CClientSock::ResolveHostAddress(char* buffer, int capacity) {
    if (!buffer || capacity <= 0) return 2;
    std::string host = HostPart(std::string(buffer, std::find(buffer, buffer + capacity, '\0')));
    uint32_t addr = 0;
    if (host.empty() || plat::ResolveHostName(host.c_str(), &addr) != 0) {
        plat::SocketError();
        return 2;
    }
    char dotted[16];
    plat::InetNtoa(addr, dotted);
    size_t len = std::strlen(dotted);
    if (len == 0) return 2;
    if (len + 1 > static_cast<size_t>(capacity)) return 1;
    std::memcpy(buffer, dotted, len + 1);
    return 0;
}
