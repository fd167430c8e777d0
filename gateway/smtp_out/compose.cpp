// Outgoing message composition: queue file to MIME mail.
#include "gateway/smtp_out/compose.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>

#include "common/settings_names.h"
#include "gateway/core/diag.h"
#include "gateway/core/cfileman.h"
#include "platform/eventlog.h"
#include "platform/system.h"

namespace {

// Queue file lines are read in pieces of at most 200 bytes and joined up to
// this length; a longer line is handled in pieces of this size.
constexpr int kPieceSize = 200;
constexpr size_t kMaxLine = 1000;
constexpr size_t kFlushAt = 65536;
constexpr int kBase64Group = 54;  // input bytes of one 72-character line

struct QueueLine {
    std::string text;
    bool start = true;      // begins a line of the file
    bool complete = false;  // ends with its line feed
};

class QueueReader {
public:
    explicit QueueReader(ComposeIo& io) : m_io(io) {}
    bool Next(QueueLine* line) {
        if (m_pushed) {
            *line = m_pushedLine;
            m_pushed = false;
            return true;
        }
        line->text.clear();
        line->start = m_atStart;
        line->complete = false;
        char piece[kPieceSize];
        while (line->text.size() < kMaxLine) {
            int n = m_io.NextPiece(piece, kPieceSize);
            if (n <= 0) break;
            line->text.append(piece, static_cast<size_t>(n));
            if (piece[n - 1] == '\n') {
                line->complete = true;
                break;
            }
        }
        if (line->text.empty()) return false;
        m_atStart = line->complete;
        return true;
    }
    void PushBack(const QueueLine& line) {
        m_pushedLine = line;
        m_pushed = true;
    }

private:
    ComposeIo& m_io;
    bool m_atStart = true;
    bool m_pushed = false;
    QueueLine m_pushedLine;
};

bool IsEmptyLine(const QueueLine& l) {
    return l.start && l.complete && (l.text == "\r\n" || l.text == "\n");
}

bool Contains(const QueueLine& l, const char* marker) { return l.text.find(marker) != std::string::npos; }

// Buffered writer for the composed file; every line it ends gets CR LF.
class ComposedWriter {
public:
    explicit ComposedWriter(ComposeIo& io) : m_io(io) {}
    ~ComposedWriter() { Flush(); }
    void Put(std::string_view s) {
        if (s.empty()) return;
        EndPendingCr();
        Emit(s);
    }
    // A queue file line as it stands, with every line end made CR LF: a bare
    // LF or a bare CR ends a line as CR LF does (a receiver may take either
    // for a line end), and each line that begins with "." gets a second one.
    void PutVerbatim(const QueueLine& l) {
        std::string_view s(l.text);
        bool lineStart = l.start;
        if (m_pendingCr) {
            // The CR that ended the last piece: its LF may begin this one.
            m_pendingCr = false;
            Emit("\r\n");
            if (!s.empty() && s[0] == '\n') s.remove_prefix(1);
            lineStart = true;
        }
        while (!s.empty()) {
            if (lineStart && s[0] == '.') Emit(".");
            lineStart = false;
            size_t end = s.find_first_of("\r\n");
            if (end == std::string_view::npos) {
                Emit(s);
                return;
            }
            Emit(s.substr(0, end));
            if (s[end] == '\r' && end + 1 == s.size()) {
                m_pendingCr = true;
                return;
            }
            Emit("\r\n");
            s.remove_prefix(end + (s[end] == '\r' && s[end + 1] == '\n' ? 2 : 1));
            lineStart = true;
        }
    }
    void EndLine() {
        if (m_pendingCr || m_last != '\n') {
            m_pendingCr = false;
            Emit("\r\n");
        }
    }
    void Flush() {
        if (m_buf.empty()) return;
        if (!m_io.Write(m_buf.data(), static_cast<int>(m_buf.size()))) {
            DLOG("Unable to write to the output file\r\n");
            m_failed = true;
        }
        m_buf.clear();
    }
    // A write into the composed file failed: the message is not whole.
    bool Failed() const { return m_failed; }

private:
    void Emit(std::string_view s) {
        if (s.empty()) return;
        m_buf.append(s);
        m_last = s.back();
        if (m_buf.size() >= kFlushAt) Flush();
    }
    void EndPendingCr() {
        if (!m_pendingCr) return;
        m_pendingCr = false;
        Emit("\r\n");
    }

    ComposeIo& m_io;
    std::string m_buf;
    char m_last = '\n';
    bool m_pendingCr = false;
    bool m_failed = false;
};

// An attachment source must be a plain file name inside IN.
bool IsPlainFileName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') return false;
    return true;
}

// The name to show without control characters; quoted adds backslashes
// before quotes and backslashes for a quoted-string.
std::string HeaderText(const char* name, bool quoted) {
    std::string out;
    for (const char* p = name; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) continue;
        if (quoted && (c == '"' || c == '\\')) out.push_back('\\');
        out.push_back(static_cast<char>(c));
    }
    return out;
}

const char* ContentTypeOf(const unsigned char* head, int n) {
    if (n >= 3 && std::memcmp(head, "GIF", 3) == 0) return "image/gif";
    if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return "image/jpeg";
    if (n >= 4 && head[0] == 0 && head[1] == 0 && head[2] == 1 && head[3] == 0xB3) return "video/mpeg";
    if (n >= 2 && head[0] == '%' && head[1] == '!') return "application/postscript";
    return "application/octet-stream";
}

// The part's header lines, each ending in "\n", and the empty line.
std::string PartHead(const char* type, const char* nameToShow) {
    std::string quoted = HeaderText(nameToShow ? nameToShow : "", true);
    std::string plain = HeaderText(nameToShow ? nameToShow : "", false);
    std::string head;
    head += "Content-Type: ";
    head += type;
    head += ";\n        name=\"" + quoted + "\"\n";
    head += "Content-Transfer-Encoding: base64\n";
    head += "Content-Disposition: attachment;\n        filename=\"" + quoted + "\"\n";
    head += "Content-Description: " + plain + "\n\n";
    return head;
}

// Base64 of n bytes, 72 characters a line, each line ending in "\n"; n is
// a multiple of 54 except for the last bytes of the input.
void AppendBase64(const unsigned char* p, int n, std::string* out) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    int lineChars = 0;
    int i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = (static_cast<uint32_t>(p[i]) << 16) | (p[i + 1] << 8) | p[i + 2];
        char q[4] = {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], kAlphabet[v & 63]};
        out->append(q, 4);
        if ((lineChars += 4) == 72) {
            out->push_back('\n');
            lineChars = 0;
        }
    }
    if (i < n) {
        uint32_t v = static_cast<uint32_t>(p[i]) << 16;
        if (i + 1 < n) v |= p[i + 1] << 8;
        out->push_back(kAlphabet[v >> 18]);
        out->push_back(kAlphabet[(v >> 12) & 63]);
        out->push_back(i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=');
        out->push_back('=');
        lineChars += 4;
    }
    if (lineChars > 0) out->push_back('\n');
}

std::string InPath(const char* dataDir, const std::string& name) {
    std::string path(dataDir ? dataDir : "");
    path += "IN";
    path += plat::kPathSep;
    path += name;
    return path;
}

std::mutex g_idLock;
unsigned long g_idCounter = 0;
bool g_idHostRead = false;
std::string g_idHost;

// Only characters that may stand in a MIME boundary, and not too many.
std::string SafeHostName(const std::string& raw) {
    std::string host;
    for (unsigned char c : raw) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_') host.push_back(static_cast<char>(c));
        if (host.size() >= 40) break;
    }
    return host.empty() ? std::string("localhost") : host;
}

}  // namespace

std::string MakeMessageId() {
    std::lock_guard<std::mutex> g(g_idLock);
    if (!g_idHostRead) {
        std::string env;
        g_idHost = SafeHostName(plat::GetEnv("HOSTNAME", &env) ? env : std::string());
        g_idHostRead = true;
    }
    char buf[96];
    std::snprintf(buf, sizeof(buf), "%lu@%s", g_idCounter++, g_idHost.c_str());
    return buf;
}

void ResetMessageIds() {
    std::lock_guard<std::mutex> g(g_idLock);
    g_idCounter = 0;
    g_idHostRead = false;
}

const char* LookupContentType(plat::CTextStream& file) {
    unsigned char head[4] = {0, 0, 0, 0};
    int n = file.Read(head, 4);
    file.Rewind();
    return ContentTypeOf(head, n);
}

void EncodeBase64(plat::CTextStream& in, plat::CTextStream& out) {
    constexpr int kLinesPerChunk = 1024;
    std::string inBuf(static_cast<size_t>(kBase64Group * kLinesPerChunk), '\0');
    std::string outBuf;
    outBuf.reserve(static_cast<size_t>(73 * kLinesPerChunk));
    for (;;) {
        int n = in.Read(inBuf.data(), static_cast<int>(inBuf.size()));
        if (n <= 0) break;
        outBuf.clear();
        AppendBase64(reinterpret_cast<const unsigned char*>(inBuf.data()), n, &outBuf);
        out.Write(outBuf.data(), static_cast<int>(outBuf.size()));
        // A short read means the input has ended.
        if (n < static_cast<int>(inBuf.size())) break;
    }
}

std::string AttachmentPart(std::string_view bytes, const char* nameToShow) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    int n = static_cast<int>(bytes.size());
    std::string text = PartHead(ContentTypeOf(p, std::min(n, 4)), nameToShow);
    AppendBase64(p, n, &text);
    std::string part;
    for (char c : text) {
        if (c == '\n') part.push_back('\r');
        part.push_back(c);
    }
    return part + "\r\n";
}

int EncodeAttachment(const char* sourcePath, plat::FileHandle composed, const char* dataDir,
                     const char* nameToShow) {
    MakeMessageId();  // every part takes a number of the id counter too
    std::string scratch = InPath(dataDir, "At" + std::to_string(composed) + ".qmx");
    plat::CTextStream source;
    if (source.Open(sourcePath, "rb") != 0) {
        DLOG("Unable to open the Attachment file BEFORE Encode\r\n");
        return 1;
    }
    const char* type = LookupContentType(source);

    plat::CTextStream part;
    int err = part.Open(scratch.c_str(), "w");
    if (err != 0) {
        std::fprintf(stderr, "%s: %s\n", scratch.c_str(), plat::ErrorText(err).c_str());
        return 2;
    }
    part.PutS(PartHead(type, nameToShow).c_str());
    EncodeBase64(source, part);
    bool failed = source.Error() || part.Error();
    source.Close();
    if (part.Close() != 0) failed = true;
    if (failed) {
        // A part cut short by a failed write or read is not sent.
        DLOG("Unable to write the encoded Attachment file\r\n");
        plat::RemoveFile(scratch.c_str());
        return 2;
    }

    plat::CFile encoded;
    if (encoded.Open(scratch.c_str(), plat::kOpenRead) != 0) {
        DLOG("Unable to open the Attachment file AFTER Encode\r\n");
        plat::RemoveFile(scratch.c_str());
        return 3;
    }
    std::string buf(kFlushAt, '\0');
    bool written = true;
    for (;;) {
        int n = encoded.Read(buf.data(), static_cast<int>(buf.size()));
        if (n < 0) written = false;
        if (n <= 0) break;
        if (plat::FileWrite(composed, buf.data(), n) != n) written = false;
    }
    encoded.Close();
    plat::RemoveFile(scratch.c_str());
    if (plat::FileWrite(composed, "\r\n", 2) != 2) written = false;
    if (!written) {
        DLOG("Unable to write to the output file\r\n");
        return 4;
    }
    return 0;
}

int ComposeMail(ComposeIo& io, const char* dataDir, std::vector<std::string>* attachments, std::string* problem) {
    enum Stage { kHeader, kBody, kAfterBody, kAttach, kDone };
    QueueReader reader(io);
    ComposedWriter out(io);
    const std::string id = MakeMessageId();
    const std::string delimiter = "------= Message-ID:" + id + "\r\n";
    const std::string closing = "------= Message-ID:" + id + "--\r\n";

    Stage stage = kHeader;
    bool prevEmpty = false;
    bool delimiterPending = false;  // the body's closing delimiter is not written yet
    int heldEmpty = 0;              // empty lines after the body, not written yet
    int attachmentLines = 0;
    std::string failure;  // the first part that could not be written whole

    auto flushAfterBody = [&]() {
        if (delimiterPending) out.Put(delimiter);
        delimiterPending = false;
        for (; heldEmpty > 0; --heldEmpty) out.Put("\r\n");
    };
    auto attach = [&](const QueueLine& line) {
        std::string s = line.text;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        size_t open = s.find("<<");
        size_t nameStart = open == std::string::npos ? 0 : open + 2;
        size_t colon = s.find(':', nameStart);
        std::string name = s.substr(nameStart, colon == std::string::npos ? std::string::npos : colon - nameStart);
        size_t fileStart = colon == std::string::npos ? s.size() : colon + 1;
        size_t close = s.find(">>", fileStart);
        std::string file = s.substr(fileStart, close == std::string::npos ? std::string::npos : close - fileStart);
        std::string source = InPath(dataDir, file);

        if (attachmentLines++ > 0) {
            DLOG("MULTIPLE ATTACHments pal.\r\n");
            out.Put(delimiter);
        }
        int r = 1;
        if (IsPlainFileName(file)) {
            if (attachments) attachments->push_back(source);
            out.Flush();
            r = io.Attach(source, name);
        }
        if (r >= 1) {
            io.AttachFailed(source);
            if (failure.empty())
                failure = "the attachment " + source +
                          (r == 1 ? " could not be read" : " could not be encoded in full");
        }
    };

    QueueLine line;
    while (stage != kDone && reader.Next(&line)) {
        bool empty = IsEmptyLine(line);
        switch (stage) {
            case kHeader:
            case kBody: {
                const char* marker = stage == kHeader ? "BEGIN BODY" : "END BODY";
                if (line.start && Contains(line, marker)) {
                    QueueLine next;
                    bool got = reader.Next(&next);
                    if (prevEmpty && got && IsEmptyLine(next)) {
                        if (stage == kHeader) {
                            out.Put("Return-Receipt-To:\r\n");
                            out.Put("MIME-Version: 1.0\r\n");
                            out.Put("Content-Type: multipart/mixed;\r\n");
                            out.Put("        boundary=\"----= Message-ID:" + id + "\"\r\n\r\n");
                            out.Put(delimiter);
                            out.Put("Content-Type: text/plain\r\n\r\n");
                            stage = kBody;
                        } else {
                            out.EndLine();
                            delimiterPending = true;
                            stage = kAfterBody;
                        }
                        prevEmpty = true;
                        break;
                    }
                    // Not a marker after all: an ordinary line, and the line
                    // read ahead is taken next.
                    if (got) reader.PushBack(next);
                }
                if (stage == kBody || !empty)
                    out.PutVerbatim(line);
                else
                    DLOG("write failed");
                prevEmpty = empty;
                break;
            }
            case kAfterBody:
                if (Contains(line, "BEGIN ATTACH")) {
                    flushAfterBody();
                    stage = kAttach;
                } else if (empty) {
                    ++heldEmpty;
                } else {
                    flushAfterBody();
                    out.PutVerbatim(line);
                }
                break;
            case kAttach:
                if (Contains(line, "END ATTACH")) {
                    out.EndLine();
                    out.Put(closing);
                    stage = kDone;
                } else if (!empty) {
                    attach(line);
                }
                break;
            case kDone:
                break;
        }
    }
    // Every message with a MIME body ends with the closing delimiter. While
    // the body's delimiter is pending nothing was written since the body's
    // last line was ended, so EndLine adds nothing then.
    if (stage == kBody || stage == kAfterBody || stage == kAttach) {
        out.EndLine();
        out.Put(closing);
    }
    out.EndLine();
    out.Put(".\r\n");
    out.Flush();
    if (failure.empty() && out.Failed()) failure = "the message could not be written to its file in IN";
    if (problem) *problem = failure;
    return failure.empty() ? 0 : 1;
}

namespace {

// The queue file and the composed file on disk; attachments through
// EncodeAttachment.
class FileComposeIo : public ComposeIo {
public:
    FileComposeIo(const char* dataDir, plat::FileHandle queue, plat::FileHandle composed)
        : m_dataDir(dataDir), m_pieces(queue), m_composed(composed) {}
    int NextPiece(char* piece, int size) override { return m_pieces.Next(piece, size); }
    bool Write(const char* data, int size) override { return plat::FileWrite(m_composed, data, size) == size; }
    int Attach(const std::string& source, const std::string& nameToShow) override {
        return EncodeAttachment(source.c_str(), m_composed, m_dataDir, nameToShow.c_str());
    }
    void AttachFailed(const std::string& source) override {
        DLOG("Unable to encode the Attachment file\r\n");
        ReportServiceEvent(plat::kEventError, 432, qlsmtp::kServiceName, source.c_str());
    }

private:
    const char* m_dataDir;
    filestore::PieceReader m_pieces;
    plat::FileHandle m_composed;
};

}  // namespace

int ComposeMessage(const char* dataDir, plat::FileHandle queue, plat::FileHandle composed,
                   std::vector<std::string>* attachments, std::string* problem) {
    plat::FileSeek(queue, 0, 0);
    int result;
    {
        FileComposeIo io(dataDir, queue, composed);
        result = ComposeMail(io, dataDir, attachments, problem);
    }
    plat::FileSeek(queue, 0, 0);
    plat::FileSeek(composed, 0, 0);
    return result;
}

int MemoryComposeIo::NextPiece(char* piece, int size) {
    if (size <= 0 || size > 65536) return 0;
    size_t avail = m_queue.size() - m_pos;
    size_t limit = std::min(avail, static_cast<size_t>(size));
    const char* start = m_queue.data() + m_pos;
    const void* lf = std::memchr(start, '\n', limit);
    // A last line without its line feed is not given, as PieceReader does not.
    size_t n = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1
                  : (avail >= static_cast<size_t>(size) ? limit : 0);
    std::memcpy(piece, start, n);
    m_pos += n;
    return static_cast<int>(n);
}

int MemoryComposeIo::Attach(const std::string& source, const std::string& nameToShow) {
    MakeMessageId();  // as EncodeAttachment does
    auto it = m_sources.find(source);
    if (it == m_sources.end()) return 1;
    m_mail += AttachmentPart(it->second, nameToShow.c_str());
    return 0;
}

int FindReceiverLine(plat::FileHandle composed, char* line, int size) {
    plat::FileSeek(composed, 0, 0);
    filestore::PieceReader reader(composed);
    char piece[kPieceSize + 1];
    bool atStart = true;
    int result = 1;
    for (;;) {
        int n = reader.Next(piece, kPieceSize);
        if (n <= 0) break;
        bool start = atStart;
        atStart = piece[n - 1] == '\n';
        if (!start) continue;
        while (n > 0 && (piece[n - 1] == '\n' || piece[n - 1] == '\r')) --n;
        piece[n] = '\0';
        // The header ends at the first empty line; body text never counts.
        if (n == 0 && atStart) break;
        for (int i = 0; i < n; ++i) piece[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(piece[i])));
        if (std::strncmp(piece, "TO:", 3) != 0) continue;
        std::string text(piece, static_cast<size_t>(n));
        for (size_t at = 0; (at = text.find("<<", at)) != std::string::npos; ++at) text.erase(at, 1);
        if (size > 0) std::snprintf(line, static_cast<size_t>(size), "%s", text.c_str());
        result = 0;
        break;
    }
    plat::FileSeek(composed, 0, 0);
    return result;
}
