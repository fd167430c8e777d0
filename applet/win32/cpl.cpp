// The Control Panel entry: CPlApplet hands each message to the one applet
// object, which the module's application object holds.
#include <windows.h>

#include <cpl.h>
#include <cstring>

#include "applet/strings.h"
#include "applet/win32/dialog.h"

namespace qlsmtpcg {

class CApplet;
// The applet object that CPlApplet talks to, recorded when it is made.
CApplet* g_applet = nullptr;

// The default answers to the Control Panel's messages.
class CApplet {
public:
    CApplet() { g_applet = this; }
    virtual ~CApplet() {
        if (g_applet == this) g_applet = nullptr;
    }
    virtual LONG OnDblClk(HWND /*window*/, UINT /*item*/, LONG_PTR /*data*/) { return 0; }
    virtual LONG OnExit() { return 0; }
    virtual LONG OnGetCount() { return 1; }
    virtual LONG OnInit() { return 1; }
    virtual LONG OnNewInquire(UINT /*item*/, NEWCPLINFOA* info) {
        Fill(info, 1, "Applet", "Raw Cpl Applet");
        return 0;
    }
    virtual LONG OnSelect(UINT /*item*/, LONG_PTR /*data*/) { return 1; }
    virtual LONG OnStop(UINT /*item*/, LONG_PTR /*data*/) { return 1; }

protected:
    static void Fill(NEWCPLINFOA* info, int icon, const char* name, const char* description) {
        std::memset(info, 0, sizeof(*info));
        info->dwSize = sizeof(NEWCPLINFOA);
        info->hIcon = LoadIconA(g_hInstance, MAKEINTRESOURCEA(icon));
        lstrcpynA(info->szName, name, sizeof(info->szName));
        lstrcpynA(info->szInfo, description, sizeof(info->szInfo));
    }
};

// The gateway's configuration item.
class CSmtpApplet : public CApplet {
public:
    LONG OnDblClk(HWND window, UINT /*item*/, LONG_PTR /*data*/) override {
        CConfigWindow dialog(window);
        dialog.DoModal();
        return 0;
    }
    LONG OnNewInquire(UINT /*item*/, NEWCPLINFOA* info) override {
        Fill(info, IDI_APPLET, "Quillon SMTP", "Quillon SMTP Server");
        return 0;
    }
};

// The module's application object; it has no behaviour of its own.
class CAppletApp {
public:
    CSmtpApplet m_applet;
};

CAppletApp g_app;

}  // namespace qlsmtpcg

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) qlsmtpcg::g_hInstance = instance;
    return TRUE;
}

extern "C" __declspec(dllexport) LONG WINAPI CPlApplet(HWND window, UINT message, LPARAM param1, LPARAM param2) {
    qlsmtpcg::CApplet* applet = qlsmtpcg::g_applet;
    if (!applet) return 0;
    UINT item = static_cast<UINT>(param1);
    switch (message) {
        case CPL_INIT: return applet->OnInit();
        case CPL_GETCOUNT: return applet->OnGetCount();
        case CPL_INQUIRE: return 0;
        case CPL_SELECT: return applet->OnSelect(item, param2);
        case CPL_DBLCLK: return applet->OnDblClk(window, item, param2);
        case CPL_STOP: return applet->OnStop(item, param2);
        case CPL_EXIT: return applet->OnExit();
        case CPL_NEWINQUIRE: return applet->OnNewInquire(item, reinterpret_cast<NEWCPLINFOA*>(param2));
        // Start with parameters: not handled, so that the Control Panel
        // sends CPL_DBLCLK instead (Wine's sends it before every opening).
        case CPL_STARTWPARMSA:
        case CPL_STARTWPARMSW: return 0;
        default:
            MessageBoxA(window, "default case param", qlsmtpcg::kCaption, MB_OK);
            return 1;
    }
}
