// Fuzzes the composition of queue files, in memory: the input is the queue
// file, and a few attachment sources it may name are given. Checks that the
// composed mail always ends with the end-of-data line, that every line ends
// in CR LF and that no copied line can end the mail early.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "gateway/smtp_out/compose.h"
#include "platform/file.h"

namespace {

const std::string g_data = std::string("data") + plat::kPathSep;

std::string In(const std::string& name) { return g_data + "IN" + plat::kPathSep + name; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 20000) return 0;
    static const std::map<std::string, std::string> sources = {
        {In("a.bin"), std::string("\x00\x01\x02\x03\xff", 5)},
        {In("b.gif"), "GIF89a"},
        {In("c.ps"), std::string(55, 'A')},
        {In("empty"), ""},
    };
    MemoryComposeIo io(std::string(reinterpret_cast<const char*>(data), size), sources);
    std::vector<std::string> attachments;
    ComposeMail(io, g_data.c_str(), &attachments);

    const std::string& mail = io.Mail();
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
