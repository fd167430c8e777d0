// The configuration dialog on Windows: the template's controls, the folder
// browser and the help button around the portable logic.
#include "applet/win32/dialog.h"

#include <shlobj.h>

#include <vector>

#include "applet/strings.h"

namespace qlsmtpcg {

HINSTANCE g_hInstance = nullptr;

namespace {

using HtmlHelpFn = HWND(WINAPI*)(HWND, LPCSTR, UINT, DWORD_PTR);

HtmlHelpFn HtmlHelpEntry() {
    // Loaded once and kept: its help windows outlive the call.
    static HtmlHelpFn entry = [] {
        HMODULE hh = LoadLibraryA("hhctrl.ocx");
        return hh ? reinterpret_cast<HtmlHelpFn>(reinterpret_cast<void*>(GetProcAddress(hh, "HtmlHelpA"))) : nullptr;
    }();
    return entry;
}

// Selects the starting folder (the data directory, else the current
// directory) and shows the path of the folder chosen.
int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM lParam, LPARAM data) {
    char path[MAX_PATH];
    if (msg == BFFM_INITIALIZED) {
        if (data) {
            SendMessageA(hwnd, BFFM_SETSELECTIONA, TRUE, data);
        } else if (GetCurrentDirectoryA(sizeof(path), path)) {
            SendMessageA(hwnd, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(path));
        }
    } else if (msg == BFFM_SELCHANGED) {
        if (SHGetPathFromIDListA(reinterpret_cast<PCIDLIST_ABSOLUTE>(lParam), path))
            SendMessageA(hwnd, BFFM_SETSTATUSTEXTA, 0, reinterpret_cast<LPARAM>(path));
    }
    return 0;
}

}  // namespace

BOOL HelpCommand(HWND hwnd, const char* file, UINT command, DWORD_PTR data) {
    HtmlHelpCall c = TranslateHelpCommand(command, data);
    if (!c.call) return c.resultWithoutCall;
    HtmlHelpFn entry = HtmlHelpEntry();
    if (!entry) return FALSE;
    HWND w = c.withWindowAndFile ? entry(hwnd, file, c.command, c.data) : entry(nullptr, nullptr, c.command, c.data);
    return w != nullptr;
}

INT_PTR CConfigWindow::DoModal() {
    return DialogBoxParamA(g_hInstance, MAKEINTRESOURCEA(IDD_CONFIG), m_parent, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

int CConfigWindow::Message(const char* text, unsigned type) { return MessageBoxA(m_hwnd, text, kCaption, type); }

std::string CConfigWindow::GetControlText(int id) {
    HWND control = GetDlgItem(m_hwnd, id);
    std::vector<char> buf(static_cast<size_t>(GetWindowTextLengthA(control)) + 1);
    int n = GetWindowTextA(control, buf.data(), static_cast<int>(buf.size()));
    return std::string(buf.data(), n > 0 ? static_cast<size_t>(n) : 0);
}

void CConfigWindow::SetControlText(int id, const std::string& text) { SetDlgItemTextA(m_hwnd, id, text.c_str()); }

void CConfigWindow::FocusControl(int id) {
    HWND control = GetDlgItem(m_hwnd, id);
    SetFocus(control);
    SendMessageA(control, EM_SETSEL, 0, -1);
}

void CConfigWindow::WaitCursor(bool on) {
    if (on) {
        m_savedCursor = SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));  // IDC_WAIT
    } else {
        SetCursor(m_savedCursor);
    }
}

void CConfigWindow::OnBrowse() {
    m_dialog.DoDataExchange(true);
    HRESULT com = CoInitialize(nullptr);
    std::string start = m_dialog.m_DataDirectory;
    CConfigDialog::RemoveTrailingBackslash(&start);
    char display[MAX_PATH] = "";
    BROWSEINFOA bi = {};
    bi.hwndOwner = m_hwnd;
    bi.pidlRoot = nullptr;
    bi.pszDisplayName = display;
    bi.lpszTitle = AppletText(IDS_BROWSE_TITLE);
    bi.ulFlags = BIF_RETURNONLYFSDIRS;
    bi.lpfn = BrowseCallback;
    bi.lParam = start.empty() ? 0 : reinterpret_cast<LPARAM>(start.c_str());
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderA(&bi);
    if (chosen) {
        char path[MAX_PATH];
        if (SHGetPathFromIDListA(chosen, path)) {
            std::string folder = path;
            CConfigDialog::AddTrailingBackslash(&folder);
            m_dialog.m_DataDirectory = folder;
            m_dialog.DoDataExchange(false);
        }
        CoTaskMemFree(chosen);
    }
    if (SUCCEEDED(com)) CoUninitialize();
}

void CConfigWindow::OnHelp() {
    char system[MAX_PATH];
    UINT n = GetSystemDirectoryA(system, sizeof(system));
    if (n == 0 || n >= sizeof(system)) return;
    std::string file = std::string(system) + "\\qlsmtpcg.chm";
    m_helpUsed = true;
    HelpCommand(m_hwnd, file.c_str(), 1, HELP_CONTEXT_DIALOG);  // context
}

INT_PTR CALLBACK CConfigWindow::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CConfigWindow*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    switch (msg) {
        case WM_INITDIALOG:
            self = reinterpret_cast<CConfigWindow*>(lParam);
            SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
            self->m_hwnd = hwnd;
            if (!self->m_dialog.ReadSettings()) self->m_dialog.Message(IDS_NOT_INSTALLED_CORRECTLY);
            self->m_dialog.DoDataExchange(false);
            return TRUE;
        case WM_COMMAND:
            if (!self) return FALSE;
            switch (LOWORD(wParam)) {
                case IDOK:
                    if (self->m_dialog.OnOK()) EndDialog(hwnd, IDOK);
                    return TRUE;
                case IDCANCEL: EndDialog(hwnd, IDCANCEL); return TRUE;
                case IDC_BROWSE: self->OnBrowse(); return TRUE;
                case IDC_HELP_BUTTON: self->OnHelp(); return TRUE;
                default: return FALSE;
            }
        case WM_DESTROY:
            if (self && self->m_helpUsed) HelpCommand(nullptr, nullptr, 2, 0);  // quit: close its windows
            return FALSE;
        default: return FALSE;
    }
}

}  // namespace qlsmtpcg
