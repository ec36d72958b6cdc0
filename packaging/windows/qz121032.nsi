; Windows installer of the Ostrel RP1210 library, as RP1210 adapter makers install theirs:
;   - qz121032.dll in the system directory: the 32-bit DLL where 32-bit programs look
;     (SysWOW64 on 64-bit Windows, System32 on 32-bit Windows), and on 64-bit Windows the
;     64-bit DLL in System32;
;   - qz121032.ini in the Windows directory, unless one is there (it is the user's
;     configuration);
;   - the name qz121032 added to [RP1210Support] APIImplementations= in the Windows
;     directory's RP121032.INI (created if missing) by rp1210-ini, which keeps every other
;     name, their order, and the file's other lines;
;   - the tools, C headers, import library and documents under Program Files;
;   - optionally the simulated CAN driver tarnlib32.dll (section "Simulated CAN driver", or
;     /SIMULATOR on the command line), never in place of a driver that is there already.
; The uninstaller removes what the installer added and nothing else: our name in
; RP121032.INI, our DLLs, the simulated driver if it installed it, qz121032.ini only when
; it installed it and it is unchanged.
;
; Silent: qz121032-setup.exe /S [/SIMULATOR]; uninstall.exe /S.
;
; Built by scripts/package.sh:
;   makensis -DVERSION=... -DSOURCE=<tree> -DWIN32_STAGE=<cmake --install of mingw-x86>
;            -DWIN64_BIN=<the 64-bit DLLs> -DOUTFILE=... qz121032.nsi

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "Sections.nsh"
!include "x64.nsh"

!define PRODUCT "Ostrel RP1210 library (qz121032)"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\qz121032"
; What this installer added, for the uninstaller: values IniInstalled, Driver32, Driver64.
!define STATE_KEY "Software\Ostrel\qz121032"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Ostrel\qz121032"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "Ostrel"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "LegalCopyright" "Ostrel"

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Runs rp1210-ini with the given command on RP121032.INI; a failure stops the install.
!macro Rp1210Ini COMMAND
  nsExec::ExecToLog '"$INSTDIR\bin\rp1210-ini.exe" ${COMMAND} "$WINDIR\RP121032.INI" qz121032'
  Pop $0
!macroend

Section "RP1210 library (required)" SecLibrary
  SectionIn RO
  SetOverwrite on

  ; The 32-bit DLL: $SYSDIR of this 32-bit installer is SysWOW64 on 64-bit Windows.
  SetOutPath "$SYSDIR"
  File "${WIN32_STAGE}\bin\qz121032.dll"
  ${If} ${RunningX64}
    ${DisableX64FSRedirection}
    SetOutPath "$SYSDIR"
    File "${WIN64_BIN}\qz121032.dll"
    ${EnableX64FSRedirection}
  ${EndIf}

  ; The library's configuration: the user's own file stays.
  ${IfNot} ${FileExists} "$WINDIR\qz121032.ini"
    SetOutPath "$WINDIR"
    File "/oname=qz121032.ini" "${SOURCE}\examples\ostrel_qz121032.ini"
    WriteRegDWORD HKLM "${STATE_KEY}" "IniInstalled" 1
  ${Else}
    DetailPrint "$WINDIR\qz121032.ini is there already: kept"
  ${EndIf}

  SetOutPath "$INSTDIR\bin"
  File "${WIN32_STAGE}\bin\rp1210.exe"
  File "${WIN32_STAGE}\bin\rp1210-ini.exe"
  File "${WIN32_STAGE}\bin\j1939_listen.exe"
  SetOutPath "$INSTDIR\include\qz121032"
  File "${WIN32_STAGE}\include\qz121032\rp1210.h"
  SetOutPath "$INSTDIR\include\qzj1939lib"
  File "${WIN32_STAGE}\include\qzj1939lib\j1939.h"
  SetOutPath "$INSTDIR\lib"
  File "${WIN32_STAGE}\lib\libqz121032.dll.a"
  SetOutPath "$INSTDIR\doc"
  File "${WIN32_STAGE}\share\doc\qz121032\*.md"
  SetOutPath "$INSTDIR\doc\examples"
  File "${WIN32_STAGE}\share\doc\qz121032\examples\*.*"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Ostrel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; Last: applications see the name only when the DLL is in place.
  !insertmacro Rp1210Ini add
  ${If} $0 != 0
    DetailPrint "rp1210-ini add failed ($0): $WINDIR\RP121032.INI does not list qz121032"
    MessageBox MB_OK|MB_ICONSTOP "$WINDIR\RP121032.INI could not be updated ($0)." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
SectionEnd

; Installs the simulated driver in the current system directory unless a driver that this
; installer did not put there is in place. FLAG: the state value that marks it as ours.
!macro InstallDriver SOURCE_DLL FLAG
  ReadRegDWORD $1 HKLM "${STATE_KEY}" "${FLAG}"
  ${If} ${FileExists} "$SYSDIR\tarnlib32.dll"
  ${AndIf} $1 != 1
    DetailPrint "$SYSDIR\tarnlib32.dll is there already (a CAN driver): the simulated driver is not installed"
  ${Else}
    SetOutPath "$SYSDIR"
    File "${SOURCE_DLL}"
    WriteRegDWORD HKLM "${STATE_KEY}" "${FLAG}" 1
  ${EndIf}
!macroend

Section /o "Simulated CAN driver (tarnsim)" SecSimulator
  SetOverwrite on
  !insertmacro InstallDriver "${WIN32_STAGE}\bin\tarnlib32.dll" Driver32
  ${If} ${RunningX64}
    ${DisableX64FSRedirection}
    !insertmacro InstallDriver "${WIN64_BIN}\tarnlib32.dll" Driver64
    ${EnableX64FSRedirection}
  ${EndIf}
  SetOutPath "$INSTDIR\bin"
  File "${WIN32_STAGE}\bin\tarnsim-node.exe"
SectionEnd

Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/SIMULATOR" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecSimulator}
  ${EndIf}
FunctionEnd

; $R0, $R1: two files. $R2: 1 when their contents are equal, else 0.
Function un.SameContents
  StrCpy $R2 0
  ClearErrors
  FileOpen $R3 $R0 r
  IfErrors done
  FileOpen $R4 $R1 r
  IfErrors close_first
  ${Do}
    ClearErrors
    FileRead $R3 $R5
    ${If} ${Errors}
      ; The first ended: equal if the second ends too.
      ClearErrors
      FileRead $R4 $R6
      ${If} ${Errors}
        StrCpy $R2 1
      ${EndIf}
      ${Break}
    ${EndIf}
    ClearErrors
    FileRead $R4 $R6
    ${If} ${Errors}
      ${Break}
    ${EndIf}
    ${If} $R5 S!= $R6
      ${Break}
    ${EndIf}
  ${Loop}
  FileClose $R4
  close_first:
  FileClose $R3
  done:
FunctionEnd

; Removes the simulated driver from the current system directory if this installer put it
; there.
!macro un.RemoveDriver FLAG
  ReadRegDWORD $1 HKLM "${STATE_KEY}" "${FLAG}"
  ${If} $1 == 1
    Delete "$SYSDIR\tarnlib32.dll"
  ${EndIf}
!macroend

Section "Uninstall"
  ; First: applications stop looking for us before the DLL goes.
  ${If} ${FileExists} "$INSTDIR\bin\rp1210-ini.exe"
    !insertmacro Rp1210Ini remove
    ${If} $0 != 0
      DetailPrint "rp1210-ini remove failed ($0): remove qz121032 from $WINDIR\RP121032.INI by hand"
    ${EndIf}
  ${EndIf}

  Delete "$SYSDIR\qz121032.dll"
  !insertmacro un.RemoveDriver Driver32
  ${If} ${RunningX64}
    ${DisableX64FSRedirection}
    Delete "$SYSDIR\qz121032.dll"
    !insertmacro un.RemoveDriver Driver64
    ${EnableX64FSRedirection}
  ${EndIf}

  ; qz121032.ini goes only if this installer put it there and nobody changed it.
  ReadRegDWORD $1 HKLM "${STATE_KEY}" "IniInstalled"
  ${If} $1 == 1
    StrCpy $R0 "$WINDIR\qz121032.ini"
    StrCpy $R1 "$INSTDIR\doc\examples\ostrel_qz121032.ini"
    Call un.SameContents
    ${If} $R2 == 1
      Delete "$WINDIR\qz121032.ini"
    ${Else}
      DetailPrint "$WINDIR\qz121032.ini was changed: kept"
    ${EndIf}
  ${EndIf}

  Delete "$INSTDIR\bin\rp1210.exe"
  Delete "$INSTDIR\bin\rp1210-ini.exe"
  Delete "$INSTDIR\bin\j1939_listen.exe"
  Delete "$INSTDIR\bin\tarnsim-node.exe"
  RMDir "$INSTDIR\bin"
  RMDir /r "$INSTDIR\include\qz121032"
  RMDir /r "$INSTDIR\include\qzj1939lib"
  RMDir "$INSTDIR\include"
  Delete "$INSTDIR\lib\libqz121032.dll.a"
  RMDir "$INSTDIR\lib"
  RMDir /r "$INSTDIR\doc"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$PROGRAMFILES\Ostrel"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${STATE_KEY}"
  DeleteRegKey /ifempty HKLM "Software\Ostrel"
SectionEnd
