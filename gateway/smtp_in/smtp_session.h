// The receiving SMTP dialogue without I/O: fed the client's bytes, split in
// any way, it answers with replies and asks its connection to store, end or
// drop a message through the callbacks of SmtpSessionEvents. A policy
// decides who may send: a refused client, sender or message is answered
// with the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/receive_policy.h"

// The refusals of the policy.
enum class SmtpVerdict : uint8_t { kClientRefused, kSenderRefused, kMessageTooLarge };

// What a session asks of its connection, in the order of the dialogue: a
// set of callbacks that the connection (or a test) fills in.
struct SmtpSessionEvents {
    // Sends reply bytes to the client.
    std::function<void(std::string_view text)> reply;
    // DATA was accepted: a new message begins.
    std::function<void()> beginMessage;
    // The message's next bytes, trace line first.
    std::function<void(std::string_view bytes)> storeBytes;
    // The data have ended: everything stored must be safely on disk. True
    // when it is (answered 250), false when not (answered 451).
    std::function<bool()> endOfData;
    // The 250 for the stored message has been sent: the message may go on.
    std::function<void()> messageAcknowledged;
    // The input ended within the data: the message is dropped unanswered.
    std::function<void()> messageAbandoned;
    // The message grew beyond the size limit: what was stored is dropped;
    // the rest of its data are read and discarded.
    std::function<void()> messageDiscarded;
    // A refusal has been answered; sender is the MAIL's address ("<>" for
    // the empty one), empty before a MAIL. May be left empty.
    std::function<void(SmtpVerdict verdict, std::string_view sender)> refused;
};

class SmtpSession {
public:
    // policy (null: everything allowed) must outlive the session;
    // clientAddress is the client's IPv4 address in host order.
    SmtpSession(std::string domain, SmtpSessionEvents events, const qlsmtp::ReceivePolicy* policy = nullptr,
                uint32_t clientAddress = 0);

    // Sends the greeting, or to a client the policy refuses the refusal,
    // which ends the dialogue.
    void Start();
    // Takes the client's next bytes; false once the dialogue has ended (by
    // QUIT or an empty command line), after which nothing more is read.
    bool Feed(const char* data, size_t size);
    // The client's input has ended (connection lost or timed out).
    void EndOfInput();
    bool Ended() const { return m_State == kEnded; }

private:
    // The first three are rows of the command table.
    enum State : uint8_t { kWaitHelo, kWaitMail, kWaitRcptOrData, kData, kEnded };

    // A piece of input: a line with its line feed, or 100 bytes of a longer one.
    void OnPiece(std::string_view piece);
    void OnCommand(std::string_view piece);
    void OnData(std::string_view piece);
    // Stores message data, or discards them once beyond the size limit.
    void StoreData(std::string_view data);
    void Refused(SmtpVerdict verdict, std::string_view sender);
    void Reply(std::string_view text) { m_Events.reply(text); }
    void EnterState(State state);

    SmtpSessionEvents m_Events;
    const qlsmtp::ReceivePolicy& m_Policy;
    const uint32_t m_ClientAddress;
    std::string m_Domain;
    std::string m_Helo;
    std::string m_Sender;  // the address of the accepted MAIL, "<>" for the empty one
    bool m_HaveRecipient = false;  // a RCPT since the last MAIL
    State m_State = kWaitHelo;
    std::string m_Piece;  // the bytes of a piece not yet complete
    // In the data: whether the next piece follows a line feed, and CR LF;
    // the last byte of the previous piece.
    bool m_LineStart = true;
    bool m_CrLfStart = true;
    char m_LastByte = '\0';
    // The message data counted against the size limit, and whether they
    // went beyond it (the rest is then discarded).
    uint64_t m_DataSize = 0;
    bool m_Discarding = false;
};
