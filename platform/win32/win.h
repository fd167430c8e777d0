// The Windows headers as the Windows backend uses them. Several Win32 names
// are macros (CopyFile -> CopyFileA and so on) that would rename the
// platform layer's own functions of the same name, so they are undone here;
// the backend calls the explicit ...A functions instead.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <windows.h>

#undef CopyFile
#undef RemoveDirectory
#undef RegisterEventSource
#undef ReportEvent
#undef DeregisterEventSource
#undef RegisterServiceCtrlHandler
#undef SetServiceStatus
#undef DeleteService
