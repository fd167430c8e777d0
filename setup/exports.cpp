// The exports of qlsinstall.dll, named by qlsinstall.def. On x86_64 the
// platform has one calling convention, which these use.
#include <cstdint>

#include "setup/setup_helper.h"

extern "C" {

int32_t InitializeSMTPService(const char* path) { return qlsinstall::CSetupHelper().InitializeSMTPService(path); }

int32_t UninstInitialize(int32_t /*hwnd*/, int32_t /*unused*/, int32_t /*unused*/) {
    return qlsinstall::CSetupHelper().UninstInitialize();
}

int32_t UninstUnInitialize(int32_t /*hwnd*/, int32_t /*unused*/, int32_t /*unused*/) { return 0; }

}  // extern "C"
