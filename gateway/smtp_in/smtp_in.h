// The SMTP listener and the connection of each SMTP client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "common/receive_policy.h"
#include "gateway/smtp_in/smtp_session.h"
#include "gateway/smtp_in/winsock.h"
#include "platform/file.h"

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
    // Made ready for the hand-off as a message is committed (its record,
    // made durable by the commit's flush); null for none.
    bool (*m_PrepareHandOff)(const char* rawPath) = nullptr;
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

    // Reads AllowedClients, AllowedSenders and MaxMessageSize (at start,
    // before connections are accepted); an entry that is not understood is
    // written to the debug log and skipped.
    void ReadReceivePolicy();
    // Who may send; read-only while connections run.
    qlsmtp::ReceivePolicy m_Policy;

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

// The connection of one SMTP client: moves bytes between its socket and
// an SmtpSession, and stores, acknowledges and hands off the messages.
class SMTPInThread : public CClientThread {
public:
    explicit SMTPInThread(SMTPInListener& listener) : m_SmtpListener(&listener) {}
    ~SMTPInThread() override = default;

    void OnConnect() override;
    void OnTooManyConnections() override {}

private:
    // What the session asks for (its events).
    void OpenMessage();
    void StoreMessageBytes(std::string_view bytes);
    bool CommitMessage();
    void HandOffMessage();
    void DropMessage();
    // Removes the message's data, stored and pending.
    void DiscardMessage();
    // Writes the collected message bytes to the raw message file.
    void Flush();

    SMTPInListener* const m_SmtpListener;
    CFileMan* m_FileMan = nullptr;
    // The message being received: its raw message file (fileOk while all
    // its writes succeeded) and the bytes not yet written.
    plat::FileHandle m_File = plat::kInvalidFile;
    bool m_FileOk = false;
    std::string m_Pending;
    char m_MsgPath[300] = {};
};
