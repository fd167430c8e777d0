// A small TCP server framework: a listener with an accept thread and
// connection threads, and the per-connection base class with its socket and
// line I/O. A connection thread serves one connection at a time and then
// waits a while for the next, so that a busy listener does not make and end
// a thread for every connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/net.h"

class CFileMan;
class CWinSock;

using ThreadHandle = uint64_t;

// Per-connection object; a listener's factory makes one for each connection.
class CClientThread {
public:
    CClientThread() = default;
    virtual ~CClientThread() = default;
    CClientThread(const CClientThread&) = delete;
    CClientThread& operator=(const CClientThread&) = delete;

    // Runs the whole dialogue of an admitted connection. Never closes the socket.
    virtual void OnConnect();
    // Runs instead of OnConnect when the connection limit was reached.
    virtual void OnTooManyConnections();

    // One send; a length below 1 sends the text's own length.
    int Send(const void* data, int length);
    int SendString(const char* text);
    // One receive (served from the read-ahead first).
    int Receive(void* buffer, int length);
    int SetReceiveTimeout(uint32_t ms);
    int SetSendTimeout(uint32_t ms);
    int SetNonBlocking(bool on);
    // Reads one line without its line end into buffer (max + 1 bytes); 0 on
    // a lost connection, a time-out or an empty line. A longer line comes in
    // pieces of max bytes.
    int ReadLine(char* buffer, int max);
    // As ReadLine, but keeps the line end and returns its length with it.
    int ReadRawLine(char* buffer, int max);
    bool IsDataPending();
    void DrainInput();

    plat::SocketHandle m_Socket = plat::kInvalidSocket;
    plat::SockAddrIn m_ClientAddr = {};
    plat::SocketHandle m_ListenSocket = plat::kInvalidSocket;

private:
    // Bytes received ahead of the current line: line reads take whole
    // stretches from here instead of one receive call per byte.
    char m_ReadAhead[4096];
    int m_ReadPos = 0;
    int m_ReadLen = 0;
};

// What the accept thread hands a new connection thread.
struct ClientThreadInfo {
    plat::CSocket socket;
    plat::SocketHandle listenSocket = plat::kInvalidSocket;
    plat::SockAddrIn clientAddr = {};
    ThreadHandle threadHandle = 0;
    int tooMany = 0;
    CWinSock* listener = nullptr;
};

struct ThreadListNode {
    CClientThread* instance = nullptr;
    ThreadHandle thread = 0;
    plat::SocketHandle socket = plat::kInvalidSocket;
    ThreadListNode* prev = nullptr;
    std::unique_ptr<ThreadListNode> next;
};

class CWinSock {
public:
    CWinSock();
    virtual ~CWinSock();
    CWinSock(const CWinSock&) = delete;
    CWinSock& operator=(const CWinSock&) = delete;

    virtual std::unique_ptr<CClientThread> CreateThreadInstance() = 0;
    virtual void ReleaseThreadInstance(std::unique_ptr<CClientThread> instance) = 0;

    // Listens on all local IPv4 addresses: 0, or 1 start-up, 2 socket,
    // 3 bind, 4 listen failed (the system's error code in BindError()).
    int ConnectToPort(int port);
    int ConnectToPort(int port, int backlog, int family, uint32_t address);
    // 0 when an accept thread runs afterwards, 1 when it cannot be started.
    // While the port is not bound, the accept thread binds it again every
    // m_BindRetryMs until that works or a stop comes.
    int StartAcceptThread();

    static void AcceptConnections(CWinSock* listener);
    static int ClientThreadEntry(std::unique_ptr<ClientThreadInfo> info);
    // A connection thread: serves info, then each connection handed to it
    // while it waits, until none comes for a while or the listener stops.
    static void ConnectionWorker(CWinSock* listener, std::unique_ptr<ClientThreadInfo> info);

    bool AddToThreadList(CClientThread* instance, ThreadHandle thread, plat::SocketHandle socket);
    bool RemoveFromThreadList(ThreadHandle thread);

    // The stop request: takes effect when the blocked accept returns, or at
    // once while the port waits to be bound again.
    void SetStopFlag();
    // Lets the accept thread run on its own (the service stop releases it).
    void ReleaseAcceptThread();
    // Stops accepting, wakes the accept thread and waits for it and for every
    // connection thread to end. For an orderly shutdown and for tests.
    void Shutdown();

    CFileMan* m_FileMan = nullptr;
    std::mutex& HandOffLock() { return m_HandOffLock; }
    int BoundPort() const;
    bool IsListening() const { return m_Listening; }
    int BindError() const { return m_BindError; }
    int ConnectionCount() const { return m_ConnectionCount; }
    bool IsAccepting() const { return m_Accepting != 0; }

    std::thread m_AcceptThread;

protected:
    // Makes the accept thread; throws std::system_error, as std::thread
    // does, when the system cannot make one.
    virtual std::thread NewAcceptThread();

    int m_ConnectionLimit = 20;
    int m_BindRetryMs = 10000;

private:
    // Binds the port again every m_BindRetryMs until that works (true) or
    // a stop comes (false).
    bool WaitUntilListening();
    void ThreadEnded();
    // Hands a new connection to a waiting connection thread, or to a new one.
    void Dispatch(std::unique_ptr<ClientThreadInfo> info);
    // The next connection for a thread that has served one; null when none
    // came within the idle time or the listener stops.
    std::unique_ptr<ClientThreadInfo> NextConnection();
    // True when fewer connections than the limit are in the list, waiting up
    // to ms for one to leave.
    bool WaitForSlot(int ms);

    plat::SockAddrIn m_Address = {};
    plat::CSocket m_ListenSocket;
    int m_Backlog = 5;
    std::atomic<bool> m_Listening{false};
    std::atomic<int> m_BindError{0};
    bool m_NetStarted = false;
    std::unique_ptr<ThreadListNode> m_ThreadList;
    std::atomic<int> m_Accepting{0};
    std::atomic<int> m_ConnectionCount{0};
    std::mutex m_ListLock;
    std::condition_variable m_SlotFreed;
    std::mutex m_HandOffLock;
    std::atomic<int> m_StopFlag{0};
    std::atomic<ThreadHandle> m_NextThreadHandle{1};
    // Connection threads still running, so that Shutdown can wait for them,
    // and those of them waiting for a connection; under m_RunningLock.
    std::mutex m_RunningLock;
    std::condition_variable m_RunningDone;
    int m_Running = 0;
    int m_Idle = 0;
    bool m_StopIdle = false;
    std::condition_variable m_ConnectionReady;
    std::deque<std::unique_ptr<ClientThreadInfo>> m_Handed;  // not yet taken by a waiting thread
};
