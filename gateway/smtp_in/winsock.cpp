// Listener, accept loop and connection threads.
#include "gateway/smtp_in/winsock.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>

#include "gateway/core/diag.h"
#include "platform/system.h"

namespace {
// How long a new connection waits for a place when the list is full.
constexpr int kSlotWaitMs = 500;
// How long a connection thread waits for the next connection before it ends.
constexpr int kIdleSeconds = 60;
}  // namespace

// ---------------------------------------------------------------------------
// CClientThread

int CClientThread::Send(const void* data, int length) {
    if (length < 1) length = static_cast<int>(std::strlen(static_cast<const char*>(data)));
    return plat::Send(m_Socket, data, length, 0);
}

int CClientThread::SendString(const char* text) { return Send(text, -1); }

int CClientThread::Receive(void* buffer, int length) {
    if (m_ReadPos < m_ReadLen) {
        int n = m_ReadLen - m_ReadPos;
        if (n > length) n = length;
        std::memcpy(buffer, m_ReadAhead + m_ReadPos, static_cast<size_t>(n));
        m_ReadPos += n;
        return n;
    }
    return plat::Recv(m_Socket, buffer, length, 0);
}

int CClientThread::SetReceiveTimeout(uint32_t ms) { return plat::SetRecvTimeout(m_Socket, ms); }
int CClientThread::SetSendTimeout(uint32_t ms) { return plat::SetSendTimeout(m_Socket, ms); }
int CClientThread::SetNonBlocking(bool on) { return plat::SetNonBlocking(m_Socket, on); }

int CClientThread::ReadLine(char* buffer, int max) {
    int n = ReadRawLine(buffer, max);
    if (n > 0 && buffer[n - 1] == '\n') {
        --n;
        if (n > 0 && buffer[n - 1] == '\r') --n;
        buffer[n] = '\0';
    }
    return n;
}

// Takes bytes from the read-ahead up to and including a newline, a whole
// stretch at a time.
int CClientThread::ReadRawLine(char* buffer, int max) {
    int n = 0;
    while (n < max) {
        if (m_ReadPos >= m_ReadLen) {
            int r = plat::Recv(m_Socket, m_ReadAhead, sizeof(m_ReadAhead), 0);
            if (r <= 0) {
                buffer[0] = '\0';
                return 0;
            }
            m_ReadPos = 0;
            m_ReadLen = r;
        }
        const char* from = m_ReadAhead + m_ReadPos;
        const int avail = std::min(m_ReadLen - m_ReadPos, max - n);
        const void* lf = std::memchr(from, '\n', static_cast<size_t>(avail));
        const int take = lf ? static_cast<int>(static_cast<const char*>(lf) - from) + 1 : avail;
        std::memcpy(buffer + n, from, static_cast<size_t>(take));
        n += take;
        m_ReadPos += take;
        if (lf) break;
    }
    buffer[n] = '\0';
    return n;
}

bool CClientThread::IsDataPending() {
    if (m_ReadPos < m_ReadLen) return true;
    char c;
    SetNonBlocking(true);
    int r = plat::Recv(m_Socket, &c, 1, plat::kMsgPeek);
    SetNonBlocking(false);
    return r >= 1;
}

void CClientThread::DrainInput() {
    m_ReadPos = m_ReadLen = 0;
    if (!IsDataPending()) return;
    char scratch[50];
    while (Receive(scratch, sizeof(scratch)) >= 1 && IsDataPending()) {
    }
}

void CClientThread::OnConnect() {
    char line[101];
    if (ReadLine(line, 100) > 0) {
        DrainInput();
        SendString("Connect Successful ... Now Disconnecting.");
    }
}

void CClientThread::OnTooManyConnections() {
    char buf[256];
    if (Receive(buf, 255) >= 1) SendString("Too Many Connections, Please Try Later.");
}

// ---------------------------------------------------------------------------
// CWinSock

CWinSock::CWinSock() = default;

CWinSock::~CWinSock() {
    Shutdown();
    if (m_NetStarted) plat::NetCleanup();
}

// The backlog has room for all 20 clients connecting again at once: when it
// is full, the system drops connection requests and a client retries only
// a second or more later.
int CWinSock::ConnectToPort(int port) { return ConnectToPort(port, 64, 2, plat::kInaddrAny); }

int CWinSock::ConnectToPort(int port, int backlog, int family, uint32_t address) {
    DLOG("Entering ConnectToPort.\r\n");
    m_Listening = false;
    m_BindError = 0;
    if (!m_NetStarted) {
        if (plat::NetStartup() != 0) {
            m_BindError = plat::SocketError();
            DLOG("ConnectToPort: WSAstartup is failed.\r\n");
            return 1;
        }
        m_NetStarted = true;
    }
    DLOG("ConnectToPort: WSAstartup is done.\r\n");
    std::memset(&m_Address, 0, sizeof(m_Address));
    m_Address.family = static_cast<uint16_t>(family);
    m_Address.port = plat::HostToNet16(static_cast<uint16_t>(port));
    m_Address.addr = plat::HostToNet32(address);
    m_Backlog = backlog;
    m_ListenSocket = plat::CSocket(plat::TcpSocket());
    if (!m_ListenSocket.IsValid()) {
        m_BindError = plat::SocketError();
        DLOG("ConnectToPort : unable to create the socket.\r\n");
        GetAndDisplayErrorListener();
        return 2;
    }
    if (plat::Bind(m_ListenSocket.Get(), m_Address) != 0) {
        m_BindError = plat::SocketError();
        DLOG("ConnectToPort : unable to bind to the required address.\r\n");
        GetAndDisplayErrorListener();
        return 3;
    }
    if (plat::Listen(m_ListenSocket.Get(), backlog) != 0) {
        m_BindError = plat::SocketError();
        DLOG("ConnectToPort : unable listen on the socket.\r\n");
        GetAndDisplayErrorListener();
        return 4;
    }
    m_Listening = true;
    return 0;
}

int CWinSock::BoundPort() const {
    return m_ListenSocket.IsValid() ? plat::LocalPort(m_ListenSocket.Get()) : 0;
}

int CWinSock::StartAcceptThread() {
    if (m_Accepting) return 0;
    m_StopFlag = 0;
    if (m_AcceptThread.joinable()) m_AcceptThread.join();  // an earlier one that has ended
    m_Accepting = 1;
    try {
        m_AcceptThread = NewAcceptThread();
    } catch (const std::system_error&) {
        m_Accepting = 0;
        DLOG("Unable to create Thread for accepting for the connections.\r\n");
        return 1;
    }
    DLOG("Thread for accepting for the connections created.\r\n");
    return 0;
}

std::thread CWinSock::NewAcceptThread() { return std::thread(AcceptConnections, this); }

void CWinSock::SetStopFlag() {
    {
        std::lock_guard<std::mutex> g(m_ListLock);
        m_StopFlag = 1;
    }
    m_SlotFreed.notify_all();
}

bool CWinSock::WaitUntilListening() {
    std::unique_lock<std::mutex> g(m_ListLock);
    while (!m_Listening) {
        if (m_SlotFreed.wait_for(g, std::chrono::milliseconds(m_BindRetryMs), [this] { return m_StopFlag == 1; }))
            return false;
        // Bound under the list lock, so that Shutdown never meets a socket
        // that is being replaced.
        plat::SockAddrIn want = m_Address;
        int port = plat::HostToNet16(want.port);  // the byte swap is its own inverse
        if (ConnectToPort(port, m_Backlog, want.family, plat::HostToNet32(want.addr)) == 0) {
            DLOGF("Connected to Port %d", port);
            ConsoleLine(("The Quillon SMTP Server now receives mail on port " + std::to_string(port) + ".").c_str());
        }
    }
    return true;
}

void CWinSock::ReleaseAcceptThread() {
    if (m_AcceptThread.joinable()) m_AcceptThread.detach();
}

void CWinSock::AcceptConnections(CWinSock* self) {
    if (!self->WaitUntilListening()) {
        self->m_Accepting = 0;
        self->m_StopFlag = 0;
        DLOG("AcceptConnections: closed the connection & exit the accept thread.\r\n");
        return;
    }
    for (;;) {
        DLOG("AcceptConnections: waiting for the connect requests.\r\n");
        plat::SockAddrIn addr = {};
        plat::CSocket client(plat::Accept(self->m_ListenSocket.Get(), &addr));
        int acceptError = client.IsValid() ? 0 : plat::SocketError();
        if (self->m_StopFlag == 1) {
            DLOG("AcceptConnections: about to shut down the connection.\r\n");
            if (client.IsValid()) {
                DLOG("AcceptConnections: invalid client - so shut down the connection.\r\n");
                plat::ShutdownBoth(client.Get());
                client.Close();
            }
            self->m_Accepting = 0;
            self->m_StopFlag = 0;
            DLOG("AcceptConnections: closed the connection & exit the accept thread.\r\n");
            return;
        }
        DLOG("AcceptConnections: Got a connect request.\r\n");
        if (!client.IsValid() && plat::IsTransientAcceptError(acceptError)) {
            // Out of descriptors or memory for the moment, or a client that
            // gave up while queued: pause briefly and accept again.
            DLOGF("AcceptConnections: accept failed for the moment (error %d), accepting again.\r\n", acceptError);
            plat::SleepMs(100);
            continue;
        }
        if (!client.IsValid()) {
            DLOG("AcceptConnections: invalid client, so exit the accept thread.\r\n");
            self->m_Accepting = 0;
            return;
        }
        auto info = std::make_unique<ClientThreadInfo>();
        info->socket = std::move(client);
        info->listenSocket = self->m_ListenSocket.Get();
        info->clientAddr = addr;
        info->listener = self;
        // The limit test is advisory. A session that has just sent its last
        // reply may still be listed when its client connects again, so a
        // full list gets a moment to make room before the client is refused.
        info->tooMany = self->WaitForSlot(kSlotWaitMs) ? 0 : 1;
        DLOG("AcceptConnections: Allocated and populated conn-details in the structure ti.\r\n");
        // The handle is stored in the record before the thread runs, so the
        // thread always finds its own handle there.
        info->threadHandle = self->m_NextThreadHandle++;
        self->Dispatch(std::move(info));
    }
}

void CWinSock::Dispatch(std::unique_ptr<ClientThreadInfo> info) {
    {
        std::lock_guard<std::mutex> g(m_RunningLock);
        if (m_Idle > static_cast<int>(m_Handed.size())) {
            m_Handed.push_back(std::move(info));
            m_ConnectionReady.notify_one();
            DLOG("AcceptConnections: handed the new client to a waiting thread.\r\n");
            return;
        }
        ++m_Running;
    }
    try {
        std::thread(ConnectionWorker, this, std::move(info)).detach();
        DLOG("AcceptConnections: created thread for the new client.\r\n");
    } catch (...) {
        // std::thread reports a failed start only this way; the record
        // and its socket went with the failed thread's arguments.
        DLOG("AcceptConnections: unable to create thread for the new client.\r\n");
        ThreadEnded();
    }
}

void CWinSock::ConnectionWorker(CWinSock* listener, std::unique_ptr<ClientThreadInfo> info) {
    while (info) {
        ClientThreadEntry(std::move(info));
        info = listener->NextConnection();
    }
    listener->ThreadEnded();
}

std::unique_ptr<ClientThreadInfo> CWinSock::NextConnection() {
    std::unique_lock<std::mutex> g(m_RunningLock);
    ++m_Idle;
    m_ConnectionReady.wait_for(g, std::chrono::seconds(kIdleSeconds), [this] { return !m_Handed.empty() || m_StopIdle; });
    --m_Idle;
    if (m_Handed.empty()) return nullptr;
    std::unique_ptr<ClientThreadInfo> info = std::move(m_Handed.front());
    m_Handed.pop_front();
    return info;
}

int CWinSock::ClientThreadEntry(std::unique_ptr<ClientThreadInfo> info) {
    CWinSock* listener = info->listener;
    DLOG("ClientThreadEntry : Entering.\r\n");
    std::unique_ptr<CClientThread> instance = listener->CreateThreadInstance();
    if (instance) {
        DLOG("ClientThreadEntry : Thread instance created.\r\n");
        instance->m_Socket = info->socket.Get();
        instance->m_ListenSocket = info->listenSocket;
        instance->m_ClientAddr = info->clientAddr;
        instance->SetReceiveTimeout(30000);
        instance->SetSendTimeout(30000);
        listener->AddToThreadList(instance.get(), info->threadHandle, info->socket.Get());
        DLOG("ClientThreadEntry : added Thread instance to the threadlist.\r\n");
        if (info->tooMany == 0) {
            instance->OnConnect();
        } else {
            DLOG("ClientThreadEntry : exceeded the max. no. of connections.\r\n");
            instance->OnTooManyConnections();
        }
        listener->RemoveFromThreadList(info->threadHandle);
        DLOG("ClientThreadEntry : removed Thread instance to the threadlist.\r\n");
        listener->ReleaseThreadInstance(std::move(instance));
        DLOG("ClientThreadEntry : Thread instance released.\r\n");
    }
    DLOG("ClientThreadEntry : doing the cleanup.\r\n");
    plat::ShutdownBoth(info->socket.Get());
    info->socket.Close();
    info.reset();
    DLOG("ClientThreadEntry : Leaving .\r\n");
    return 1;
}

bool CWinSock::AddToThreadList(CClientThread* instance, ThreadHandle thread, plat::SocketHandle socket) {
    std::lock_guard<std::mutex> g(m_ListLock);
    auto node = std::make_unique<ThreadListNode>();
    node->instance = instance;
    node->thread = thread;
    node->socket = socket;
    if (m_ThreadList) m_ThreadList->prev = node.get();
    node->next = std::move(m_ThreadList);
    m_ThreadList = std::move(node);
    ++m_ConnectionCount;
    return true;
}

bool CWinSock::RemoveFromThreadList(ThreadHandle thread) {
    {
        std::lock_guard<std::mutex> g(m_ListLock);
        for (ThreadListNode* n = m_ThreadList.get(); n; n = n->next.get()) {
            if (n->thread != thread) continue;
            ThreadListNode* prev = n->prev;
            std::unique_ptr<ThreadListNode> next = std::move(n->next);
            if (next) next->prev = prev;
            // Replacing the owner's link frees the node.
            if (prev) {
                prev->next = std::move(next);
            } else {
                m_ThreadList = std::move(next);
            }
            --m_ConnectionCount;
            m_SlotFreed.notify_all();
            return true;
        }
    }
    plat::ShowMessage("Thread Release Error", "Error", plat::kIconNone);
    return true;
}

bool CWinSock::WaitForSlot(int ms) {
    if (m_ConnectionLimit > m_ConnectionCount) return true;
    std::unique_lock<std::mutex> g(m_ListLock);
    return m_SlotFreed.wait_for(g, std::chrono::milliseconds(ms),
                                [this] { return m_ConnectionLimit > m_ConnectionCount || m_StopFlag == 1; }) &&
           m_ConnectionLimit > m_ConnectionCount;
}

void CWinSock::ThreadEnded() {
    std::lock_guard<std::mutex> g(m_RunningLock);
    if (--m_Running == 0) m_RunningDone.notify_all();
}

void CWinSock::Shutdown() {
    if (m_AcceptThread.joinable()) {
        {
            std::lock_guard<std::mutex> g(m_ListLock);
            m_StopFlag = 1;
        }
        m_SlotFreed.notify_all();
        int port = BoundPort();
        // Wake the blocked accept: Linux returns from it when the listening
        // socket is shut down; WinSock when one more client connects. The
        // socket is closed only after the thread has ended, so its number
        // cannot be reused under the thread's feet.
        plat::ShutdownBoth(m_ListenSocket.Get());
        plat::CSocket wake(plat::TcpSocket());
        plat::SockAddrIn self = {};
        self.family = 2;
        self.port = plat::HostToNet16(static_cast<uint16_t>(port));
        self.addr = plat::InetAddr("127.0.0.1");
        if (self.port != 0 && wake.IsValid()) plat::Connect(wake.Get(), self);
        m_AcceptThread.join();
    }
    m_ListenSocket.Close();
    m_Accepting = 0;
    // Make every connection's blocked read return, then wait for the threads.
    {
        std::lock_guard<std::mutex> g(m_ListLock);
        for (ThreadListNode* n = m_ThreadList.get(); n; n = n->next.get()) plat::ShutdownBoth(n->socket);
    }
    std::unique_lock<std::mutex> g(m_RunningLock);
    m_StopIdle = true;
    m_ConnectionReady.notify_all();
    m_RunningDone.wait(g, [this] { return m_Running == 0; });
    m_StopIdle = false;  // a listener started again keeps its threads again
}
