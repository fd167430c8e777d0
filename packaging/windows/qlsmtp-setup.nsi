; Setup program of the Quillon SMTP Server for 64-bit Windows. It installs
; the gateway (with the Control Panel applet and its help file when they were
; built), writes the default settings that are missing, and registers and
; starts the service through qlsinstall.dll. The uninstaller has the library
; stop and remove the service before the files go; the settings stay.
;
; Defined by the build: PRODUCT, VERSION, VERSION4 (four numbers), OUTFILE,
; GATEWAY, HELPER, and optionally APPLET and HELP (paths of the files).
; Runs silently with /S; the uninstaller with /S _?=<its folder>.
Unicode true
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma
!include LogicLib.nsh

!define SETTINGS_KEY "SOFTWARE\Halvern\Quillon SMTP Server"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\Quillon SMTP Server"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define CPLS_KEY "Software\Microsoft\Windows\CurrentVersion\Control Panel\Cpls"
!define COPYRIGHT "Copyright (C) 2026 Halvern. All rights reserved; no licence granted yet."
; The gateway keeps the data directory in at most 79 characters.
!define MAX_DATA_PATH 79

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}. All rights reserved; no licence granted yet."
VIProductVersion "${VERSION4}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "CompanyName" "Halvern"
VIAddVersionKey "LegalCopyright" "${COPYRIGHT}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; $R0: a value name. $R1 = 1 when the settings key has no such value, of
; whatever type (an existing value is never replaced).
Function ValueMissing
  StrCpy $R1 1
  StrCpy $R2 0
  ${Do}
    ClearErrors
    EnumRegValue $R3 HKLM "${SETTINGS_KEY}" $R2
    ${If} ${Errors}
    ${OrIf} $R3 == ""
      ${ExitDo}
    ${EndIf}
    ${If} $R3 == $R0
      StrCpy $R1 0
      ${ExitDo}
    ${EndIf}
    IntOp $R2 $R2 + 1
  ${Loop}
FunctionEnd

!macro DefaultValue TYPE NAME VALUE
  StrCpy $R0 "${NAME}"
  Call ValueMissing
  ${If} $R1 == 1
    WriteReg${TYPE} HKLM "${SETTINGS_KEY}" "${NAME}" "${VALUE}"
  ${EndIf}
!macroend

Section "Install"
  StrCpy $1 "$INSTDIR\data\"
  StrLen $2 $1
  ${If} $2 > ${MAX_DATA_PATH}
    MessageBox MB_OK|MB_ICONSTOP "The data folder $1 is longer than ${MAX_DATA_PATH} characters: choose a shorter installation folder." /SD IDOK
    Abort
  ${EndIf}

  ; An installed service holds the program open: stop and remove it first.
  ClearErrors
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ${IfNot} ${Errors}
  ${AndIf} ${FileExists} "$INSTDIR\qlsinstall.dll"
    System::Call '$INSTDIR\qlsinstall.dll::UninstInitialize(i 0, i 0, i 0) i .r0 ?u'
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${GATEWAY}"
  File "${HELPER}"
!ifdef APPLET
  File "${APPLET}"
  ; Listed by the Control Panel.
  WriteRegStr HKLM "${CPLS_KEY}" "qlsmtpcg" "$INSTDIR\qlsmtpcg.cpl"
!endif
!ifdef HELP
  ; The applet opens its help from the system folder.
  SetOutPath "$SYSDIR"
  File "${HELP}"
  SetOutPath "$INSTDIR"
!endif
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "Halvern"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1

  ; Default settings, only where missing.
  ReadEnvStr $3 COMPUTERNAME
  ${If} $3 == ""
    StrCpy $3 "localhost"
  ${EndIf}
  !insertmacro DefaultValue DWORD "SmtpRxPort" 25
  !insertmacro DefaultValue DWORD "SmtpTxPort" 25
  !insertmacro DefaultValue DWORD "MaxOut" 10
  !insertmacro DefaultValue Str "ProgramPath" "$1"
  !insertmacro DefaultValue Str "DomainName" "$3"
  ; The data directory the settings name, with its two folders.
  ReadRegStr $1 HKLM "${SETTINGS_KEY}" "ProgramPath"
  CreateDirectory "$1IN"
  CreateDirectory "$1OUT"

  System::Call '$INSTDIR\qlsinstall.dll::InitializeSMTPService(m "$INSTDIR\qlsmtpgw.exe") i .r0 ?u'
SectionEnd

Section "Uninstall"
  System::Call '$INSTDIR\qlsinstall.dll::UninstInitialize(i 0, i 0, i 0) i .r0'
  System::Call '$INSTDIR\qlsinstall.dll::UninstUnInitialize(i 0, i 0, i 0) i .r0 ?u'
  Delete "$INSTDIR\qlsmtpgw.exe"
  Delete "$INSTDIR\qlsinstall.dll"
  Delete "$INSTDIR\qlsmtpcg.cpl"
  Delete "$SYSDIR\qlsmtpcg.chm"
  DeleteRegValue HKLM "${CPLS_KEY}" "qlsmtpcg"
  DeleteRegKey HKLM "${UNINST_KEY}"
  Delete "$INSTDIR\uninstall.exe"
  ; The data folders go only when empty: mail in them stays.
  RMDir "$INSTDIR\data\IN"
  RMDir "$INSTDIR\data\OUT"
  RMDir "$INSTDIR\data"
  RMDir "$INSTDIR"
SectionEnd
