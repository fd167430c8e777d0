// The gateway's outgoing TCP connection: one IPv4 stream socket at a time,
// raw sends and receives, line reads one byte per call, and host-name to
// dotted-address translation. Used by the DNS resolver (one object per
// query) and by SMTPOut, which derives from it for its SMTP dialogues.
#pragma once

#include <cstdint>
#include <string>

#include "platform/net.h"

class CClientSock {
public:
    CClientSock();
    virtual ~CClientSock();
    CClientSock(const CClientSock&) = delete;
    CClientSock& operator=(const CClientSock&) = delete;

    // 0 connected; 1 no socket; 2 the connection failed (socket closed again).
    // address is dotted IPv4 text only.
    int Connect(int port, const char* address);
    // 0 done; 1 the shutdown failed; 2 the close failed. The socket is
    // released in every case.
    int Disconnect();
    // Sends all length bytes (the text length when length <= 0); the bytes
    // sent, or -1 when the connection fails before all are gone, or when
    // one send waits out the send time-out.
    int Send(const char* buffer, int length);
    int SendString(const char* text);
    // One receive: bytes, 0 when the peer closed, -1 on error or time-out.
    int Receive(char* buffer, int capacity);
    int SetReceiveTimeout(uint32_t ms);
    // Sends give up when the peer takes nothing for ms (0: no limit).
    int SetSendTimeout(uint32_t ms);
    int SetNonBlocking(int flag);
    // One line without its LF (and the CR before it); the length, 0 for an
    // empty line or a failure. At most n bytes are stored; buffer holds n + 1.
    int ReadLine(char* buffer, int n);
    bool IsDataPending();
    // Discards input that has already arrived; never waits. Always 0.
    int DrainInput();
    // buffer in: a host name or an e-mail address; out: dotted IPv4 text.
    // 0 resolved; 1 the text does not fit capacity; 2 the name did not
    // resolve (the buffer is unchanged in both failure cases).
    int ResolveHostAddress(char* buffer, int capacity);
    // The host of an e-mail address: the text after its first "@", cut before
    // the first blank or ">"; text without "@" is returned whole.
    static std::string HostPart(const std::string& text);

    bool IsConnected() const { return m_Socket.IsValid(); }

protected:
    int m_StartupResult = 0;
    plat::CSocket m_Socket;
    plat::SockAddrIn m_RemoteAddr{};
    uint32_t m_SendTimeoutMs = 0;
};
