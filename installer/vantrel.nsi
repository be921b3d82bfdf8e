; The Vantrel installer for Windows, built on Linux with makensis.
; makensis -DVERSION=x.y.z -DBUILD_DIR=... -DSOURCE_DIR=... -DOUTFILE=... vantrel.nsi
;
; Installs the server, the client, the docs and the readme into the 32-bit
; Program Files, registers the server (-RegServer), and installs the
; proxy/stub when no proxy/stub of the OPC DA interfaces is registered yet
; (or when this installer put it there before). Silent with /S. Every step
; that fails undoes what the installation did so far.

Unicode true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include "LogicLib.nsh"
!include "Sections.nsh"
!include "WinMessages.nsh"
!include "x64.nsh"

!ifndef VERSION
  !error "VERSION is not defined"
!endif

!define PRODUCT "Vantrel"
!define COMPANY "Korvell"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define PRODUCT_KEY "Software\${COMPANY}\${PRODUCT}"
; IOPCServer: where the machine's OPC DA proxy/stub is registered.
!define OPC_PROXY_KEY "Interface\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\ProxyStubClsid32"
; The OPC server list's class: registered by us only where none is.
!define SERVER_LIST_KEY "CLSID\{13486D51-4821-11D2-A494-3CB306C10000}"
; The 64-bit regsvr32, reached from this 32-bit installer.
!define REGSVR64 "$WINDIR\sysnative\regsvr32.exe"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES32\${COMPANY}\${PRODUCT}"
InstallDirRegKey HKLM "${PRODUCT_KEY}" "InstallDir"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) 2026 Korvell"

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var ProxyBefore      ; the proxy/stub registration found before installing
Var ProxyByUs        ; "1" when this product's proxy/stub is registered by us
Var Proxy64Before    ; the same in the 64-bit registry view
Var Proxy64ByUs
Var ListByUs         ; "1" when the server list is registered by us

; Administrators only: the server and the proxy/stub register machine-wide.
!macro RequireAdmin
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} must be installed and removed by an administrator: it registers a COM server and the OPC proxy/stub for the whole machine. Run this program as administrator." /SD IDOK
    SetErrorLevel 5
    Quit
  ${EndIf}
!macroend

; Undoes an installation that failed half way, then stops with a message.
!macro Rollback message
  DetailPrint "${message}"
  ${If} $ProxyByUs == "1"
  ${AndIf} $ProxyBefore == ""
    UnRegDLL "$INSTDIR\vantrel_ps.dll"
  ${EndIf}
  ${If} $Proxy64ByUs == "1"
  ${AndIf} $Proxy64Before == ""
    ExecWait '"${REGSVR64}" /u /s "$INSTDIR\x64\vantrel_ps.dll"'
  ${EndIf}
  ${If} $ListByUs == "1"
    ExecWait '"$INSTDIR\vantrel-serverlist.exe" -UnregServer'
  ${EndIf}
  ExecWait '"$INSTDIR\Vantrel.exe" -UnregServer'
  Call RemoveFiles
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${PRODUCT_KEY}"
  DeleteRegKey /ifempty HKLM "Software\${COMPANY}"
  MessageBox MB_OK|MB_ICONSTOP "${message} Nothing was installed." /SD IDOK
  SetErrorLevel 2
  Quit
!macroend

Function RemoveFiles
  Delete "$INSTDIR\Vantrel.exe"
  Delete "$INSTDIR\opcda-client.exe"
  Delete "$INSTDIR\opcda-client64.exe"
  Delete "$INSTDIR\vantrel-serverlist.exe"
  Delete "$INSTDIR\vantrel_ps.dll"
  Delete "$INSTDIR\x64\vantrel_ps.dll"
  RMDir "$INSTDIR\x64"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /r "$INSTDIR\docs"
  RMDir "$INSTDIR"
  RMDir "$PROGRAMFILES32\${COMPANY}"
FunctionEnd

Section "Vantrel server and client (required)" SecServer
  SectionIn RO
  SetOutPath "$INSTDIR"
  ClearErrors
  File "${BUILD_DIR}/Vantrel.exe"
  File "${BUILD_DIR}/opcda-client.exe"
  File "${BUILD_DIR}/opcda-client64.exe"
  File "${BUILD_DIR}/vantrel-serverlist.exe"
  File "/oname=README.txt" "${SOURCE_DIR}/installer/README.txt"
  SetOutPath "$INSTDIR\docs"
  File "${SOURCE_DIR}/docs/*.md"
  SetOutPath "$INSTDIR\docs\img"
  File "${SOURCE_DIR}/docs/img/*.png"
  SetOutPath "$INSTDIR"
  ${If} ${Errors}
    !insertmacro Rollback "The files could not be written to $INSTDIR."
  ${EndIf}
  DetailPrint "Registering the server"
  ExecWait '"$INSTDIR\Vantrel.exe" -RegServer' $0
  ${If} $0 != 0
    !insertmacro Rollback "The server's registration failed (Vantrel.exe -RegServer returned $0)."
  ${EndIf}
  ; The OPC server list, where the machine has none (or we put it there).
  ClearErrors
  ReadRegStr $1 HKLM "${PRODUCT_KEY}" "ServerListInstalled"
  EnumRegKey $2 HKCR "${SERVER_LIST_KEY}" 0
  ${If} $2 == ""
  ${OrIf} $1 == "1"
    DetailPrint "Registering the OPC server list"
    ExecWait '"$INSTDIR\vantrel-serverlist.exe" -RegServer' $0
    StrCpy $ListByUs "1"
    ${If} $0 != 0
      !insertmacro Rollback "The server list's registration failed (vantrel-serverlist.exe -RegServer returned $0)."
    ${EndIf}
  ${EndIf}
SectionEnd

Section "OPC DA proxy/stub (vantrel_ps.dll)" SecProxy
  SetOutPath "$INSTDIR"
  ClearErrors
  File "${BUILD_DIR}/vantrel_ps.dll"
  RegDLL "$INSTDIR\vantrel_ps.dll"
  ${If} ${Errors}
    StrCpy $ProxyByUs "1"
    !insertmacro Rollback "The proxy/stub's registration failed."
  ${EndIf}
  StrCpy $ProxyByUs "1"
SectionEnd

Section "OPC DA proxy/stub for 64-bit clients (x64\vantrel_ps.dll)" SecProxy64
  ; The installer is 32-bit: the 64-bit DLL is registered by the 64-bit
  ; regsvr32, in the 64-bit registry view.
  SetOutPath "$INSTDIR\x64"
  ClearErrors
  File "/oname=vantrel_ps.dll" "${BUILD_DIR}/vantrel_ps64.dll"
  SetOutPath "$INSTDIR"
  ${If} ${Errors}
    !insertmacro Rollback "The files could not be written to $INSTDIR\x64."
  ${EndIf}
  ExecWait '"${REGSVR64}" /s "$INSTDIR\x64\vantrel_ps.dll"' $0
  StrCpy $Proxy64ByUs "1"
  ${If} $0 != 0
    !insertmacro Rollback "The 64-bit proxy/stub's registration failed (regsvr32 returned $0)."
  ${EndIf}
SectionEnd

Section "-Uninstaller and Add/Remove Programs"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${PRODUCT_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${PRODUCT_KEY}" "Version" "${VERSION}"
  WriteRegStr HKLM "${PRODUCT_KEY}" "ProxyStubInstalled" "$ProxyByUs"
  WriteRegStr HKLM "${PRODUCT_KEY}" "ProxyStub64Installed" "$Proxy64ByUs"
  WriteRegStr HKLM "${PRODUCT_KEY}" "ServerListInstalled" "$ListByUs"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION} (OPC DA simulation server)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Vantrel.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Function .onInit
  !insertmacro RequireAdmin
  StrCpy $ProxyByUs ""
  StrCpy $Proxy64ByUs ""
  StrCpy $ListByUs ""
  ; The 64-bit proxy/stub, judged in the 64-bit view by the same rule.
  ${If} ${RunningX64}
    SetRegView 64
    ReadRegStr $Proxy64Before HKCR "${OPC_PROXY_KEY}" ""
    SetRegView 32
    ReadRegStr $1 HKLM "${PRODUCT_KEY}" "ProxyStub64Installed"
    ${If} $Proxy64Before == ""
    ${OrIf} $1 == "1"
      !insertmacro SelectSection ${SecProxy64}
      StrCpy $Proxy64Before ""
    ${Else}
      !insertmacro UnselectSection ${SecProxy64}
    ${EndIf}
  ${Else}
    !insertmacro UnselectSection ${SecProxy64}
    SectionSetText ${SecProxy64} ""
  ${EndIf}
  ReadRegStr $ProxyBefore HKCR "${OPC_PROXY_KEY}" ""
  ReadRegStr $1 HKLM "${PRODUCT_KEY}" "ProxyStubInstalled"
  ; On by default only where no OPC proxy/stub is registered, or where this
  ; product registered its own before (an upgrade keeps it).
  ${If} $ProxyBefore == ""
  ${OrIf} $1 == "1"
    !insertmacro SelectSection ${SecProxy}
    StrCpy $ProxyBefore ""
  ${Else}
    !insertmacro UnselectSection ${SecProxy}
    ${IfNot} ${Silent}
      MessageBox MB_OK|MB_ICONINFORMATION "An OPC proxy/stub is already registered on this machine ($ProxyBefore). Vantrel will use it; the option to register Vantrel's own is off. Switching it on replaces that registration for every OPC client and server here."
    ${EndIf}
  ${EndIf}
FunctionEnd

Function un.onInit
  !insertmacro RequireAdmin
FunctionEnd

Section "Uninstall"
  ReadRegStr $ProxyByUs HKLM "${PRODUCT_KEY}" "ProxyStubInstalled"
  ReadRegStr $Proxy64ByUs HKLM "${PRODUCT_KEY}" "ProxyStub64Installed"
  ReadRegStr $ListByUs HKLM "${PRODUCT_KEY}" "ServerListInstalled"
  DetailPrint "Removing the server's registration"
  ExecWait '"$INSTDIR\Vantrel.exe" -UnregServer'
  ${If} $ProxyByUs == "1"
    DetailPrint "Removing the proxy/stub this installer registered"
    UnRegDLL "$INSTDIR\vantrel_ps.dll"
  ${EndIf}
  ${If} $Proxy64ByUs == "1"
    DetailPrint "Removing the 64-bit proxy/stub this installer registered"
    ExecWait '"${REGSVR64}" /u /s "$INSTDIR\x64\vantrel_ps.dll"'
  ${EndIf}
  ${If} $ListByUs == "1"
    DetailPrint "Removing the OPC server list this installer registered"
    ExecWait '"$INSTDIR\vantrel-serverlist.exe" -UnregServer'
  ${EndIf}
  Delete "$INSTDIR\Vantrel.exe"
  Delete "$INSTDIR\opcda-client.exe"
  Delete "$INSTDIR\opcda-client64.exe"
  Delete "$INSTDIR\vantrel-serverlist.exe"
  Delete "$INSTDIR\vantrel_ps.dll"
  Delete "$INSTDIR\x64\vantrel_ps.dll"
  RMDir "$INSTDIR\x64"
  Delete "$INSTDIR\README.txt"
  RMDir /r "$INSTDIR\docs"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$PROGRAMFILES32\${COMPANY}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${PRODUCT_KEY}"
  DeleteRegKey /ifempty HKLM "Software\${COMPANY}"
SectionEnd
