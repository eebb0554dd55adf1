; The Windows installer of the Korvalis Graphics Uploader, made by
; scripts/package-windows with makensis. Defines from the command line:
; VERSION, STAGE (folder of the files to install), OUTFILE, and the two lists
; FILES and UNFILES it wrote from STAGE (so the uninstaller removes exactly
; what the installer put there). /S installs and uninstalls silently.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!define NAME "Korvalis Graphics Uploader"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KorvalisGraphicsUploader"

Name "${NAME}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${NAME}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${NAME}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${NAME} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "Korvalis Graphics Uploader developers"
VIAddVersionKey "LegalCopyright" "Korvalis Graphics Uploader developers"

!include "MUI2.nsh"
!define MUI_ICON "${__FILEDIR__}\korvalis-uploader.ico"
!define MUI_UNICON "${__FILEDIR__}\korvalis-uploader.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\korvalis-uploader.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "Install"
    !include "${FILES}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ; No driver: Windows' own HID class driver serves the device.
    CreateShortCut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\korvalis-uploader.exe" "" \
        "$INSTDIR\korvalis-uploader.exe" 0
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Korvalis Graphics Uploader developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\korvalis-uploader.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    Delete "$SMPROGRAMS\${NAME}.lnk"
    !include "${UNFILES}"
    Delete "$INSTDIR\uninstall.exe"
    ; Only when empty: whatever the user put there stays.
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
