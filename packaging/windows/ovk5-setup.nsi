; SPDX-License-Identifier: GPL-2.0-or-later
; The per-user installer of the OVK5 plug-ins, ovk5-export and ovk5dump for
; Windows Wireshark. scripts/windows-installer.sh generates files.nsh (what
; goes where, per series) and runs makensis with:
;   -DVERSION=<project version> -DSTAGE=<staged files> -DOUTFILE=<setup.exe>
;   -DFILES=<files.nsh> -DSERIES="<series carried, space separated>"
;
; No administrator rights: everything goes below the user's profile,
;   %APPDATA%\Wireshark\plugins\<major.minor>\epan\   the dissector DLLs
;   %APPDATA%\Wireshark\extcap\                       ovk5dump.exe
;   %LOCALAPPDATA%\Programs\OVK5\                     ovk5-export.exe, its
;                                                     per-series DLLs, the
;                                                     uninstaller
; (%APPDATA%\Wireshark being Wireshark's personal configuration folder,
; WIRESHARK_CONFIG_DIR when set, as Wireshark itself takes it). The
; uninstaller removes the files it installed and the folders it made, and
; nothing else.

Unicode true
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma
ManifestSupportedOS all

!define PRODUCT "OVK5 plug-ins for Wireshark"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\OVK5-Wireshark"
!define STATE_FILE "$INSTDIR\installed-folders.ini"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\OVK5"
ShowInstDetails show
ShowUninstDetails show

Page instfiles
UninstPage instfiles

Var ConfigDir

; Folder ${key} is made unless it exists; the made ones are recorded, so
; that the uninstaller removes those and no other.
!macro MakeFolder key path
  IfFileExists "${path}\*.*" +3
    CreateDirectory "${path}"
    WriteINIStr "${STATE_FILE}" "made" "${key}" "${path}"
!macroend

; Removes folder ${key} if this installation made it and it is empty.
!macro RemoveMadeFolder key
  ReadINIStr $0 "${STATE_FILE}" "made" "${key}"
  StrCmp $0 "" +2
    RMDir $0
!macroend

Function .onInit
  SetShellVarContext current
  SetRegView 64
FunctionEnd

Function un.onInit
  SetShellVarContext current
  SetRegView 64
FunctionEnd

!macro FindConfigDir
  ReadEnvStr $ConfigDir WIRESHARK_CONFIG_DIR
  StrCmp $ConfigDir "" 0 +2
    StrCpy $ConfigDir "$APPDATA\Wireshark"
!macroend

Section "Install"
  !insertmacro FindConfigDir
  ; The state file lives in $INSTDIR, so that folder (and its parent,
  ; "Programs", missing in a new profile) is made first.
  StrCpy $R5 ""
  IfFileExists "$INSTDIR\..\*.*" +2
    StrCpy $R5 "1"
  StrCpy $R6 ""
  IfFileExists "$INSTDIR\*.*" +2
    StrCpy $R6 "1"
  CreateDirectory "$INSTDIR"
  StrCmp $R5 "1" 0 +2
    WriteINIStr "${STATE_FILE}" "made" "install_parent" "$INSTDIR\.."
  StrCmp $R6 "1" 0 +2
    WriteINIStr "${STATE_FILE}" "made" "install" "$INSTDIR"
  WriteINIStr "${STATE_FILE}" "paths" "config" "$ConfigDir"

  ; Wireshark's installer records its version; a series this package does
  ; not carry is said, as its plug-ins would not load.
  ReadRegDWORD $1 HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Wireshark" "VersionMajor"
  ReadRegDWORD $2 HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Wireshark" "VersionMinor"
  StrCmp $1 "" no_wireshark
    DetailPrint "Wireshark $1.$2 is installed; plug-ins for: ${SERIES}"
    Push "${SERIES} "
    Push "$1.$2 "
    Call FindWord
    Pop $3
    StrCmp $3 "1" wireshark_done
      MessageBox MB_OK|MB_ICONEXCLAMATION "This package has no plug-ins for the installed Wireshark $1.$2 (only for ${SERIES}). They are installed anyway, for those series." /SD IDOK
    Goto wireshark_done
  no_wireshark:
    DetailPrint "No Wireshark installation recorded; plug-ins for: ${SERIES}"
  wireshark_done:

  !include "${FILES}"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Ovkan"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Pushes 1 when the second string on the stack ("4.4 ") occurs in the
; first ("4.0 4.4 4.6 "), 0 otherwise.
Function FindWord
  Exch $R0 ; word
  Exch
  Exch $R1 ; list
  Push $R2
  Push $R3
  StrLen $R3 $R0
  loop:
    StrCpy $R2 $R1 $R3
    StrCmp $R2 $R0 found
    StrCmp $R1 "" not_found
    StrCpy $R1 $R1 "" 1
    Goto loop
  found:
    StrCpy $R0 1
    Goto done
  not_found:
    StrCpy $R0 0
  done:
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

Section "Uninstall"
  ; Where the installation put them, whatever the environment says now.
  ReadINIStr $ConfigDir "${STATE_FILE}" "paths" "config"
  StrCmp $ConfigDir "" 0 config_known
    !insertmacro FindConfigDir
  config_known:
  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ReadINIStr $0 "${STATE_FILE}" "made" "install"
  ReadINIStr $1 "${STATE_FILE}" "made" "install_parent"
  Delete "${STATE_FILE}"
  ; The uninstaller runs from a copy elsewhere, so the folder can go.
  StrCmp $0 "" +2
    RMDir "$INSTDIR"
  StrCmp $1 "" +2
    RMDir "$1"
SectionEnd
