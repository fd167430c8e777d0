// Decoding throughput of received mail: the raw message file is read in
// text mode, as the hand-off reads it, and decoded into memory (envelope
// lines, body text, attachments). Bytes processed
// are the raw file's bytes, so the rates read as MB/s of input.
//
//   BM_DecodeBase64Attachment  a 10 MB binary attachment in base64 with a
//                              Content-MD5 header, checked while decoding
//   BM_DecodeQuotedPrintable   a 1 MB quoted-printable text body
//   BM_DecodePlainText         a 100 KB plain text body in 80-byte lines, as
//                              the inbound benchmark's load driver sends
//   BM_Md5Alone                the MD5 of the 10 MB attachment alone
//   BM_Base64Alone             the base64 decoding of its text alone, from
//                              memory, no digest, output dropped
// The last two count the base64 message file's bytes too, so that the limit
// of the first case is 1 / (1 / md5 + 1 / base64) in the same unit.
//
// QLSMTP_BENCH_DIR names a scratch folder (default: a new one under /tmp,
// removed at the end). The two messages are made there as base64.qmx and
// qp.qmx unless they exist, and are left there for peers to decode.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_dir.h"
#include "gateway/mime/decoder.h"
#include "tests/support/memory_sink.h"
#include "gateway/mime/md5.h"
#include "gateway/mime/part_stream.h"
#include "gateway/mime/transfer.h"
#include "platform/textfile.h"

namespace fs = std::filesystem;

namespace {

std::string Base64(const unsigned char* p, size_t n, size_t lineLength) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t col = 0;
    for (size_t i = 0; i < n; i += 3) {
        unsigned v = p[i] << 16 | (i + 1 < n ? p[i + 1] << 8 : 0) | (i + 2 < n ? p[i + 2] : 0);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < n ? kAlphabet[v & 63] : '=';
        if (lineLength && (col += 4) >= lineLength) {
            out += "\r\n";
            col = 0;
        }
    }
    if (lineLength && col) out += "\r\n";
    return out;
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

const char kHeaders[] =
    "Received: from bench.example by fax.test ; \r\n"
    "From: Bench <bench@example.org>\r\nTo: fax@fax.test\r\nSubject: decode bench\r\nMIME-Version: 1.0\r\n";

std::vector<unsigned char> AttachmentData() {
    std::mt19937_64 rng(4711);
    std::vector<unsigned char> data(10 * 1024 * 1024);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    return data;
}

std::string Base64Message() {
    std::vector<unsigned char> data = AttachmentData();
    mime::CMd5 md5;
    md5.Update(data.data(), data.size());
    return std::string(kHeaders) +
           "Content-Type: multipart/mixed; boundary=\"bench-boundary\"\r\n\r\n"
           "--bench-boundary\r\nContent-Type: text/plain\r\n\r\nThe fax is attached.\r\n"
           "--bench-boundary\r\nContent-Type: application/pdf; name=\"fax.pdf\"\r\n"
           "Content-Disposition: attachment; filename=\"fax.pdf\"\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-MD5: " +
           mime::Md5Base64(md5) + "\r\n\r\n" + Base64(data.data(), data.size(), 76) + "--bench-boundary--\r\n";
}

// Text with accented letters, equals signs and long lines, encoded as
// quoted-printable with soft line breaks.
std::string QuotedPrintableMessage() {
    std::mt19937 rng(42);
    static const char* const kWords[] = {"fax", "page", "Z\xc3\xbcrich", "r\xc3\xa9sum\xc3\xa9", "x=y", "line",
                                         "transmission", "of", "the", "report"};
    std::string body;
    int col = 0;
    while (body.size() < 1024 * 1024) {
        std::string word = kWords[rng() % 10];
        std::string enc;
        for (unsigned char c : word) {
            if (c == '=' || c > 126) {
                char hex[4];
                std::snprintf(hex, sizeof(hex), "=%02X", c);
                enc += hex;
            } else {
                enc += static_cast<char>(c);
            }
        }
        if (col + enc.size() + 1 > 75) {
            body += (rng() % 3 == 0) ? "\r\n" : "=\r\n";
            col = 0;
        }
        body += enc + " ";
        col += static_cast<int>(enc.size()) + 1;
    }
    return std::string(kHeaders) +
           "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" + body +
           "\r\n";
}

std::string PlainTextMessage() {
    std::string body;
    for (int line = 1; body.size() < 100 * 1024; ++line) {
        std::string text = std::to_string(line);
        text.resize(78, 'X');
        body += text + "\r\n";
    }
    return std::string(kHeaders) + "\r\n" + body;
}

struct Scratch {
    CBenchDir dir{"qlsmtp-bench-decode-"};
    std::string base64Path;
    std::string qpPath;
    std::string textPath;

    Scratch() {
        fs::create_directories(dir.path());
        base64Path = Input("base64.qmx", Base64Message);
        qpPath = Input("qp.qmx", QuotedPrintableMessage);
        textPath = Input("text.qmx", PlainTextMessage);
    }

    std::string Input(const char* name, std::string (*make)()) {
        std::string path = (dir.path() / name).string();
        if (!fs::exists(path)) WriteFile(path, make());
        return path;
    }
};

Scratch& Files() {
    static Scratch s;
    return s;
}

void Decode(benchmark::State& state, const std::string& input) {
    testsupport::CMemorySink sink(false);
    for (auto _ : state) {
        sink.body.clear();
        plat::CTextStream raw;
        if (raw.Open(input.c_str(), "r") != 0) {
            state.SkipWithError("cannot open the message file");
            break;
        }
        mime::PartStream stream(&raw);
        mime::CMimeDecoder decoder(sink.Callbacks());
        decoder.DecodeMessage(stream, "text/plain", 0);
    }
    if (!sink.warnings.empty()) state.SkipWithError("the decoder warned (digest mismatch?)");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(input)));
    state.counters["input_bytes"] = static_cast<double>(fs::file_size(input));
}

void BM_DecodeBase64Attachment(benchmark::State& state) { Decode(state, Files().base64Path); }
BENCHMARK(BM_DecodeBase64Attachment)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeQuotedPrintable(benchmark::State& state) { Decode(state, Files().qpPath); }
BENCHMARK(BM_DecodeQuotedPrintable)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodePlainText(benchmark::State& state) { Decode(state, Files().textPath); }
BENCHMARK(BM_DecodePlainText)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The parts of the base64 case on their own: its attachment's bytes, and its
// base64 text as the decoder reads it (CR LF as a newline).
struct Base64Parts {
    std::vector<unsigned char> data = AttachmentData();
    std::string text;
    int64_t fileBytes = static_cast<int64_t>(fs::file_size(Files().base64Path));

    Base64Parts() {
        std::string crlf = Base64(data.data(), data.size(), 76);
        text.reserve(crlf.size());
        for (char c : crlf)
            if (c != '\r') text += c;
    }
};

Base64Parts& Parts() {
    static Base64Parts p;
    return p;
}

void BM_Md5Alone(benchmark::State& state) {
    const Base64Parts& in = Parts();
    for (auto _ : state) {
        mime::CMd5 md5;
        md5.Update(in.data.data(), in.data.size());
        unsigned char d[16];
        md5.Final(d);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(state.iterations() * in.fileBytes);
}
BENCHMARK(BM_Md5Alone)->Unit(benchmark::kMillisecond)->UseRealTime();

struct CDropOutput : mime::CByteOutput, mime::CDecodeReporter {
    size_t bytes = 0;
    void Write(const void*, size_t length) override { bytes += length; }
    void DecodeWarning(const std::string&) override { ++bytes; }
    void DecodeStatus(const std::string&) override {}
    void ErrorReport(const std::string&, int) override {}
};

void BM_Base64Alone(benchmark::State& state) {
    const Base64Parts& in = Parts();
    CDropOutput out;
    for (auto _ : state) {
        out.bytes = 0;
        mime::PartStream stream(in.text.data(), in.text.size());
        mime::DecodeBase64(stream, out, nullptr, false, out);
        if (out.bytes != in.data.size()) {
            state.SkipWithError("base64 decoding gave the wrong size");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * in.fileBytes);
}
BENCHMARK(BM_Base64Alone)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
