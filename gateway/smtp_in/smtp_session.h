// The receiving SMTP dialogue without I/O: fed the client's bytes, split in
// any way, it answers with replies and asks its connection to store, end or
// drop a message through the callbacks of SmtpSessionEvents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

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
};

class SmtpSession {
public:
    SmtpSession(std::string domain, SmtpSessionEvents events);

    // Sends the greeting.
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
    void Reply(std::string_view text) { m_Events.reply(text); }
    void EnterState(State state);

    SmtpSessionEvents m_Events;
    std::string m_Domain;
    std::string m_Helo;
    bool m_HaveRecipient = false;  // a RCPT since the last MAIL
    State m_State = kWaitHelo;
    std::string m_Piece;  // the bytes of a piece not yet complete
    // In the data: whether the next piece follows a line feed, and CR LF;
    // the last byte of the previous piece.
    bool m_LineStart = true;
    bool m_CrLfStart = true;
    char m_LastByte = '\0';
};
