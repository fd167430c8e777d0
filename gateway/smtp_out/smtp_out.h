// The outbound engine: one thread polls the queue files in IN, composes each
// into a MIME mail, delivers it to the recipient domain's mail exchanger (or
// to the smarthost when one is set) and then deletes the queue file, retries
// it (at once, or after the RetryMinutes wait while the others go on), or
// sets it aside under an error name.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/smtp_out/clientsock.h"
#include "platform/file.h"

class CDnsResolver;
class CFileMan;
namespace plat {
class CRegKey;
}

class SMTPOut : public CClientSock {
public:
    static constexpr int kMaxAttempts = 5;
    // Waits of the dialogue: each reply, the reply to the end of the data
    // (RFC 5321 allows the receiver 10 minutes for it), and a send during
    // which the receiver accepts no byte. The environment variable
    // QLSMTP_SEND_TIMEOUT_MS, read at construction, shortens the last one.
    static constexpr uint32_t kReplyTimeoutMs = 35000;
    static constexpr uint32_t kDataEndTimeoutMs = 600000;
    static constexpr uint32_t kSendTimeoutMs = 300000;

    // Reads MaxOut, DNSName and the send port from the settings.
    SMTPOut();
    // Asks the main thread to stop and waits for it.
    ~SMTPOut() override;

    void SetFileManager(CFileMan* fileMan) { m_FileMan = fileMan; }
    // 0 the main thread runs; 1 shutdown already requested; 2 no thread.
    int Start();
    // Sets the shutdown flag; the main thread ends after the send in
    // progress, and its waits end at once.
    void RequestShutdown();

    // The polling loop and one send run; both run on the engine's thread.
    static void SMTPMainThread(SMTPOut* self);
    // 1 when a queue file left the queue (sent or set aside), else 0.
    static int SMTPOutThread(SMTPOut* self);
    // The text after the first "<" of line, cut before the first ">". A line
    // without "<" gives its text after a leading "TO:", blanks trimmed.
    static void ExtractAddress(char* address, int size, const char* line);

    // Composes the queue file into the composed file (see compose.h); the
    // attachment source paths are appended to attachments. 0 the message is
    // whole; 1 it is not (the reason is kept as the last failure).
    int ComposeMessage(plat::FileHandle queue, plat::FileHandle composed, std::vector<std::string>* attachments);
    // Delivers the composed file to recipient, through the smarthost when
    // one is set. 0 the server took the message; 2 no host could be
    // connected; 3 the dialogue failed. work holds size + 1 bytes.
    int SendMessageViaMX(plat::FileHandle message, const char* recipient, char* work, int size);
    // Why the last composition or delivery failed: the DNS result, or the
    // receiver's reply line, or what else went wrong.
    const std::string& LastFailure() const { return m_LastFailure; }
    // Changes the dialogue's waits (tests); 0 keeps a value.
    void SetTimeouts(uint32_t replyMs, uint32_t dataEndMs, uint32_t sendMs);

private:
    // Reads SmartHost and RetryMinutes (after the send port).
    void ReadOutgoingOptions(const plat::CRegKey& key, bool open);
    // Waits ms, or less when shutdown is requested; false on shutdown.
    bool WaitMs(uint32_t ms);
    // The pause after a run that moved no file: the idle wait, or less
    // when a waiting file's next attempt falls due sooner.
    uint32_t IdleWaitMs() const;
    // Reads reply lines until one carries expected (0); 1 on a 4xx or 5xx
    // reply, a failed read or too many other lines. step names the command
    // answered in the failure kept.
    int WaitForReply(int expected, const char* step, char* work, int size);
    // The steps of SendMessageViaMX. The DNS result for domain (the
    // resolver's table holds the exchangers).
    int FindExchangers(CDnsResolver* resolver, const std::string& domain);
    // Connects to the first exchanger in table order that accepts, else to
    // the recipient domain's own address: 0 connected; 2 no host.
    int ConnectToExchanger(const CDnsResolver& resolver, int resolved, const std::string& rcpt,
                           const std::string& domain, int size);
    // Connects to the smarthost: 0 connected; 2 not.
    int ConnectToSmartHost();
    // HELO to QUIT on the connection; reply takes each reply line (size
    // + 1 bytes). 0 the server took the message; 3 it did not.
    int RunDialogue(plat::FileHandle message, const std::string& rcpt, char* reply, int size);
    void SendCommand(const char* verb, const char* argument, const char* end);
    // Sends the message file in chunks of chunkSize bytes; 1 a send failed.
    int SendMessageData(plat::FileHandle message, int chunkSize);
    // Logs the error, closes the connection; 3.
    int EndFailedDialogue();
    // Moves a queue file to its error name: true with that name in target;
    // false with the reason in target when no error name could be given.
    bool SetAside(const std::string& path, bool upperCase, std::string* target);

    int m_RemotePort = 25;
    int32_t m_MaxOut = 10;
    int32_t m_Active = 0;
    std::string m_DNSServer;
    uint32_t m_ReplyTimeoutMs = kReplyTimeoutMs;
    uint32_t m_DataEndTimeoutMs = kDataEndTimeoutMs;
    uint32_t m_SendTimeoutMs = kSendTimeoutMs;
    std::string m_Host;  // the host of the dialogue in progress
    std::string m_LastFailure;
    CFileMan* m_FileMan = nullptr;
    std::atomic<int> m_Shutdown{0};
    std::thread m_MainThreadID;
    std::mutex m_WaitLock;
    std::condition_variable m_WaitSignal;
    // Outgoing options (common/outgoing_settings.h): the smarthost, empty
    // for none, and its port; the waits before the second and later
    // attempts, none for attempts in a row.
    std::string m_SmartHost;
    int m_SmartHostPort = 25;
    std::vector<uint32_t> m_RetryWaitsMs;
    // The last dialogue ended with a 5xx reply to RCPT or to the data.
    bool m_Refused = false;
    // Failed attempts per queue file path, and when the next may start.
    struct Attempts {
        int failures = 0;
        std::chrono::steady_clock::time_point notBefore{};
    };
    std::map<std::string, Attempts> m_Attempts;
};
