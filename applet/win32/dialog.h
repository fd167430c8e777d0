// The configuration dialog on Windows: template 130 run modally, with the
// controls as the logic's CAppletUi.
#pragma once

#include <windows.h>

#include <string>

#include "applet/config.h"

namespace qlsmtpcg {

// The module the applet was loaded from (its resources).
extern HINSTANCE g_hInstance;

class CConfigWindow : public CAppletUi {
public:
    explicit CConfigWindow(HWND parent) : m_parent(parent), m_dialog(*this) {}
    INT_PTR DoModal();

    int Message(const char* text, unsigned type) override;
    std::string GetControlText(int id) override;
    void SetControlText(int id, const std::string& text) override;
    void FocusControl(int id) override;
    void WaitCursor(bool on) override;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void OnBrowse();
    void OnHelp();

    HWND m_parent;
    HWND m_hwnd = nullptr;
    HCURSOR m_savedCursor = nullptr;
    bool m_helpUsed = false;
    CConfigDialog m_dialog;
};

// Turns a WinHelp-style command into its HTML Help call on the file; 1 when
// HTML Help gave a window.
BOOL HelpCommand(HWND hwnd, const char* file, UINT command, DWORD_PTR data);

}  // namespace qlsmtpcg
