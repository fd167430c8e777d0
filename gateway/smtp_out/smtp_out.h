// The outbound engine: one thread polls the queue files in IN, composes each
// into a MIME mail, delivers it to the recipient domain's mail exchanger and
// then deletes the queue file, retries it, or sets it aside under an error
// name.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/smtp_out/clientsock.h"
#include "platform/file.h"

class CFileMan;

class SMTPOut : public CClientSock {
public:
    static constexpr int kMaxAttempts = 5;

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
    // attachment source paths are appended to attachments.
    int ComposeMessage(plat::FileHandle queue, plat::FileHandle composed, std::vector<std::string>* attachments);
    // Delivers the composed file to recipient. 0 the server took the
    // message; 2 no host could be connected; 3 the dialogue failed.
    // work holds size + 1 bytes.
    int SendMessageViaMX(plat::FileHandle message, const char* recipient, char* work, int size);

private:
    // Waits ms, or less when shutdown is requested; false on shutdown.
    bool WaitMs(uint32_t ms);
    // Reads reply lines until one carries expected (0); 1 on a 4xx or 5xx
    // reply, a failed read or too many other lines.
    int WaitForReply(int expected, char* work, int size);
    // Moves a queue file to its error name; the name used is returned.
    std::string SetAside(const std::string& path, bool upperCase);

    int m_RemotePort = 25;
    int32_t m_MaxOut = 10;
    int32_t m_Active = 0;
    std::string m_DNSServer;
    CFileMan* m_FileMan = nullptr;
    std::atomic<int> m_Shutdown{0};
    std::thread m_MainThreadID;
    std::mutex m_WaitLock;
    std::condition_variable m_WaitSignal;
    // Failed attempts per queue file path.
    std::map<std::string, int> m_Attempts;
};
