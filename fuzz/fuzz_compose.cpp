// Fuzzes the composition of queue files: the input is the queue file, the
// data directory holds a few attachment sources it may name. Checks that the
// composed mail always ends with the end-of-data line, that every line ends
// in CR LF and that no copied line can end the mail early.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "gateway/smtp_out/compose.h"
#include "platform/file.h"
#include "platform/system.h"
#include "tests/support/files.h"

namespace {

std::string g_data;

std::string In(const std::string& name) { return g_data + "IN" + plat::kPathSep + name; }

void RemoveData() {
    std::vector<plat::DirEntry> entries;
    plat::ListDirectory((g_data + "IN").c_str(), "*", &entries);
    for (const plat::DirEntry& e : entries) plat::RemoveFile(In(e.name).c_str());
    plat::RemoveDirectory((g_data + "IN").c_str());
    plat::RemoveDirectory(g_data.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_data = testsupport::TempBase() + plat::kPathSep + "qlsmtp-fuzz-compose-" + std::to_string(plat::ProcessId());
    plat::MakeDirectory(g_data.c_str());
    g_data += plat::kPathSep;
    plat::MakeDirectory((g_data + "IN").c_str());
    testsupport::WriteFile(In("a.bin"), std::string("\x00\x01\x02\x03\xff", 5));
    testsupport::WriteFile(In("b.gif"), "GIF89a");
    testsupport::WriteFile(In("c.ps"), std::string(55, 'A'));
    testsupport::WriteFile(In("empty"), "");
    // Events of unreadable attachments go nowhere.
    plat::SetEnv("QLSMTP_EVENTLOG", "/dev/null");
    std::atexit(RemoveData);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 20000) return 0;
    testsupport::WriteFile(In("q.tmp"), std::string(reinterpret_cast<const char*>(data), size));
    plat::CFile queue, composed;
    if (queue.Open(In("q.tmp").c_str(), plat::kOpenRead) != 0) return 0;
    if (composed.Open(In("out.qmx").c_str(), plat::kCreateTruncRW) != 0) return 0;
    std::vector<std::string> attachments;
    ComposeMessage(g_data.c_str(), queue.Get(), composed.Get(), &attachments);
    char line[201];
    FindReceiverLine(composed.Get(), line, sizeof(line));
    composed.Close();

    std::string mail;
    testsupport::ReadFile(In("out.qmx"), &mail);
    if (mail.size() < 3 || mail.compare(mail.size() - 3, 3, ".\r\n") != 0) __builtin_trap();
    size_t start = 0;
    for (size_t lf = mail.find('\n'); lf != std::string::npos; lf = mail.find('\n', lf + 1)) {
        if (lf == 0 || mail[lf - 1] != '\r') __builtin_trap();
        bool last = lf + 1 == mail.size();
        if (!last && mail[start] == '.' && (lf - start < 2 || mail[start + 1] != '.')) __builtin_trap();
        start = lf + 1;
    }
    for (const std::string& a : attachments)
        if (a.find("..") != std::string::npos && a.find(plat::kPathSep, g_data.size() + 3) != std::string::npos)
            __builtin_trap();
    return 0;
}
