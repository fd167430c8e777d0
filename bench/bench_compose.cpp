// Composition throughput: a queue file naming one 10 MB attachment is
// composed into the mail that is sent after DATA (base64 through a scratch
// file, 72-character lines). Bytes processed are the attachment's bytes, so
// the rate reads as MB/s of source file encoded.
//
// QLSMTP_BENCH_DIR names a scratch folder (default: a new one under /tmp);
// QLSMTP_BENCH_ATTACHMENT names the source file to encode (default: 10 MB of
// pseudo-random bytes made here), so that a peer can encode the same file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_dir.h"
#include "gateway/smtp_out/compose.h"
#include "platform/file.h"
#include "platform/textfile.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kAttachmentBytes = 10 * 1024 * 1024;

struct Scratch {
    CBenchDir dir{"qlsmtp-bench-"};
    std::string dataDir;  // ends in the separator
    std::string queuePath;
    std::string attachmentPath;
    uintmax_t attachmentBytes = 0;

    Scratch() {
        dataDir = (dir.path() / "data").string() + "/";
        fs::create_directories(dataDir + "IN");
        const char* att = std::getenv("QLSMTP_BENCH_ATTACHMENT");
        std::string name = "bench.bin";
        if (att && *att) {
            fs::copy_file(att, dataDir + "IN/" + name, fs::copy_options::overwrite_existing);
        } else {
            std::mt19937_64 rng(4711);
            std::vector<uint64_t> words(kAttachmentBytes / 8);
            for (auto& w : words) w = rng();
            std::ofstream(dataDir + "IN/" + name, std::ios::binary)
                .write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(kAttachmentBytes));
        }
        attachmentPath = dataDir + "IN/" + name;
        attachmentBytes = fs::file_size(attachmentPath);
        queuePath = dataDir + "IN/bench.tmp";
        std::ofstream(queuePath, std::ios::binary)
            << "FROM: Fax Server <faxserver@fax.test>\r\nTO:<<alice@example.test>\r\nSUBJECT: bench\r\n\r\n"
               "BEGIN BODY\r\n\r\nThe attachment holds the fax.\r\n\r\nEND BODY\r\n\r\n"
               "BEGIN ATTACH\r\n<<fax.bin:"
            << name << ">>\r\nEND ATTACH\r\n";
    }
};

Scratch& Files() {
    static Scratch s;
    return s;
}

void BM_ComposeMessage(benchmark::State& state) {
    Scratch& s = Files();
    std::string composedPath = s.dataDir + "IN/bench.qmx";
    uintmax_t composedBytes = 0;
    for (auto _ : state) {
        plat::CFile queue;
        plat::CFile composed;
        if (queue.Open(s.queuePath.c_str(), plat::kOpenRead) != 0 ||
            composed.Open(composedPath.c_str(), plat::kCreateTruncRW) != 0) {
            state.SkipWithError("cannot open the scratch files");
            break;
        }
        std::vector<std::string> attachments;
        ComposeMessage(s.dataDir.c_str(), queue.Get(), composed.Get(), &attachments);
        composedBytes = static_cast<uintmax_t>(composed.Seek(0, 2));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.attachmentBytes));
    state.counters["composed_bytes"] = static_cast<double>(composedBytes);
    std::remove(composedPath.c_str());
}
BENCHMARK(BM_ComposeMessage)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// The encoder alone, file to file, as the composition drives it.
void BM_EncodeBase64(benchmark::State& state) {
    Scratch& s = Files();
    std::string outPath = s.dataDir + "IN/bench.b64";
    for (auto _ : state) {
        plat::CTextStream in;
        plat::CTextStream out;
        if (in.Open(s.attachmentPath.c_str(), "rb") != 0 || out.Open(outPath.c_str(), "w") != 0) {
            state.SkipWithError("cannot open the scratch files");
            break;
        }
        EncodeBase64(in, out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.attachmentBytes));
    std::remove(outPath.c_str());
}
BENCHMARK(BM_EncodeBase64)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
