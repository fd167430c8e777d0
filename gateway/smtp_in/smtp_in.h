// The receiving SMTP session and its listener.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "gateway/smtp_in/winsock.h"

// Hands a raw message file to the fax server under the hand-off lock; 0 when
// it was handed off (the raw file may go), non-zero when it must be kept.
using HandOffFn = int (*)(std::mutex& handoffLock, const char* rawPath);

class SMTPInListener : public CWinSock {
public:
    // Ends the connections while this listener's factory and hand-off are
    // still there: connection threads call both until they end.
    ~SMTPInListener() override;

    std::unique_ptr<CClientThread> CreateThreadInstance() override;
    void ReleaseThreadInstance(std::unique_ptr<CClientThread> instance) override;

    // The hand-off; null leaves each raw message file in OUT untouched.
    HandOffFn m_HandOff = nullptr;
    // Hands the raw message file off and removes it when that succeeded;
    // the hand-off's result.
    int HandOffAndRemove(const char* rawPath);
};

// Hands off the raw message files that a crash left behind (oldest first)
// and removes the data of unacknowledged messages. Run before accepting.
void RecoverReceivedMessages(SMTPInListener& listener);

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
