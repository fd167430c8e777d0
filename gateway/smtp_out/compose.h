// Composition of outgoing mail: a queue file from the fax server becomes a
// multipart/mixed message with a text/plain body and one base64 part per
// attachment, in the form it is sent after DATA (ending with ".\r\n").
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/textfile.h"

// What a composition reads and writes: the queue file's pieces in, the
// composed mail out, and the parts of the attachments it names.
class ComposeIo {
public:
    virtual ~ComposeIo() = default;
    // The queue file's next piece, as PieceReader::Next gives it.
    virtual int NextPiece(char* piece, int size) = 0;
    // Appends to the composed mail; false when not all of it was written.
    virtual bool Write(const char* data, int size) = 0;
    // Appends the part of an attachment source (its full path); the results
    // of EncodeAttachment.
    virtual int Attach(const std::string& source, const std::string& nameToShow) = 0;
    // An attachment whose part could not be appended.
    virtual void AttachFailed(const std::string& source) = 0;
};

// Composes what io reads into what it writes; dataDir, attachments,
// problem and the result as for ComposeMessage.
int ComposeMail(ComposeIo& io, const char* dataDir, std::vector<std::string>* attachments,
                std::string* problem = nullptr);

// Composition in memory: the queue file's bytes and the attachment sources
// by full path; a source not given cannot be read, and is not reported.
class MemoryComposeIo : public ComposeIo {
public:
    MemoryComposeIo(std::string queue, std::map<std::string, std::string> sources)
        : m_queue(std::move(queue)), m_sources(std::move(sources)) {}
    int NextPiece(char* piece, int size) override;
    bool Write(const char* data, int size) override {
        m_mail.append(data, static_cast<size_t>(size));
        return true;
    }
    int Attach(const std::string& source, const std::string& nameToShow) override;
    void AttachFailed(const std::string&) override {}
    const std::string& Mail() const { return m_mail; }

private:
    std::string m_queue;
    size_t m_pos = 0;
    std::map<std::string, std::string> m_sources;
    std::string m_mail;
};

// The bytes that EncodeAttachment appends for a source of these bytes.
std::string AttachmentPart(std::string_view bytes, const char* nameToShow);

// Composes the queue file into the composed file. dataDir ends in the path
// separator; the attachment sources are "<dataDir>IN<sep><name>". The full
// paths of the attachment sources named in the queue file are appended to
// attachments (the first one first). Both files are left at their start.
// 0 the message is whole; 1 a part of it could not be read or written (an
// attachment, or the composed file itself): it must not be sent, and
// problem, when given, says what failed.
int ComposeMessage(const char* dataDir, plat::FileHandle queue, plat::FileHandle composed,
                   std::vector<std::string>* attachments, std::string* problem = nullptr);

// Appends one base64 part for sourcePath to the composed file, through the
// scratch file "<dataDir>IN<sep>At<handle>.qmx". 0 appended; 1 the source
// cannot be opened; 2 the scratch file cannot be written; 3 it cannot be
// read back; 4 the part could not be written whole into the composed file.
int EncodeAttachment(const char* sourcePath, plat::FileHandle composed, const char* dataDir,
                     const char* nameToShow);

// Base64 of the rest of in, 72 characters a line, each line ending in "\n".
void EncodeBase64(plat::CTextStream& in, plat::CTextStream& out);

// Content type from the first bytes of the file; the file is rewound.
const char* LookupContentType(plat::CTextStream& file);

// "<counter>@<host>", the counter counting every id made in the process.
std::string MakeMessageId();
// Starts the ids again at 0 and re-reads the host name (tests).
void ResetMessageIds();

// The first header line of the composed file that begins with "TO:" (any
// case), in capitals, its CR LF removed and every "<<" made "<". 0 found; 1
// none. The file is left at its start.
int FindReceiverLine(plat::FileHandle composed, char* line, int size);
