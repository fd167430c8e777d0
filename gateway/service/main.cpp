#include <cstdio>
#include <cstdlib>

#include "gateway/mime/decode_util.h"
#include "gateway/service/entry.h"

int main(int argc, char** argv) {
    // An allocation failure ends the process with a message, before any
    // thread runs.
    mime::InstallMemoryExhaustedHandler();
    int status = RunProgram(argc, argv);
    // The gateway's threads are not stopped one by one: they end with the
    // process, without the destructors of the objects they still use.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}
