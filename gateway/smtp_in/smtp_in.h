// The receiving SMTP session and its listener.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "gateway/smtp_in/winsock.h"

// Hands a raw message file to the fax server under the hand-off lock; 0 when
// it was handed off (the raw file may go), non-zero when it must be kept.
using HandOffFn = int (*)(std::mutex& handoffLock, const char* rawPath);

class SMTPInListener : public CWinSock {
public:
    // Ends the hand-off worker and the connections while this listener's
    // factory and hand-off are still there: their threads call both until
    // they end.
    ~SMTPInListener() override;

    std::unique_ptr<CClientThread> CreateThreadInstance() override;
    void ReleaseThreadInstance(std::unique_ptr<CClientThread> instance) override;

    // The hand-off; null leaves each raw message file in OUT untouched.
    HandOffFn m_HandOff = nullptr;
    // Hands the raw message file off and removes it when that succeeded;
    // the hand-off's result. A failure is reported to the event log once per
    // file (440), and a later success of that file too (441).
    int HandOffAndRemove(const char* rawPath);

    // Starts handing off, in the background, the raw message files that no
    // session is handing off: those left by a crash and those whose hand-off
    // failed. Oldest first, each under the hand-off lock in turn with new
    // messages; at once, then every retry interval (60 s, or the seconds in
    // the environment variable QLSMTP_RETRY_SECONDS). Returns at once.
    void StartHandOffWorker();
    // One round of the worker; for tests.
    void HandOffLeftovers();

private:
    void StopHandOffWorker();

    std::thread m_Worker;
    std::mutex m_WorkerLock;
    std::condition_variable m_WorkerWake;
    std::atomic<bool> m_WorkerStop{false};
    // Raw message files whose hand-off failed and was reported.
    std::mutex m_FailedLock;
    std::set<std::string> m_Failed;
};

class SMTPInThread : public CClientThread {
public:
    enum Command { kNone = 0, kHelo, kMail, kRcpt, kData, kHelp, kQuit, kNoop, kRset };
    enum State { kWaitHelo = 1, kWaitMail = 2, kWaitRcptOrData = 3, kReceiving = 101 };

    SMTPInThread() = default;
    ~SMTPInThread() override = default;

    void OnConnect() override;
    void OnTooManyConnections() override {}

    static int ParseCommand(const char* line);
    static void TrimArgument(std::string& text);
    void SendHelp();

private:
    void ReceiveData();
    void Reply(const std::string& text) { SendString(text.c_str()); }

    std::string m_Helo;
    bool m_HaveRecipient = false;  // a RCPT since the last MAIL
    int m_State = kWaitHelo;
    char m_MsgPath[300] = {};
    std::string m_Domain;
};
