; The Windows installer: the three programs in the program-files folder, a
; Start-menu entry for the updater and an uninstaller that takes everything
; back. Built by scripts/build-windows.sh with
;   makensis -DBUILD_DIR=<build-windows> -DOUT_FILE=<setup.exe> installer.nsi
Unicode true
Target amd64-unicode
!include "x64.nsh"

!ifndef BUILD_DIR
  !error "BUILD_DIR names the Windows build folder"
!endif
!ifndef OUT_FILE
  !define OUT_FILE "QuilFirmwareUpdate-Setup.exe"
!endif

Name "Quil Firmware Update"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\Velk\Quil Firmware Update"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
Icon "${BUILD_DIR}/resources/artwork/icon_128.ico"
UninstallIcon "${BUILD_DIR}/resources/artwork/icon_128.ico"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuilFirmwareUpdate"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Quil Firmware Update"
  SetRegView 64
  ; The programs are every user's (program files, HKLM), so the Start-menu
  ; entry is too: without this it would go to the installing user's own menu.
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${BUILD_DIR}/ui/quilupdate.exe"
  File "${BUILD_DIR}/tools/quiltool.exe"
  File "${BUILD_DIR}/tools/quil-sim.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\Quil Firmware Update"
  CreateShortcut "$SMPROGRAMS\Quil Firmware Update\Quil Firmware Update.lnk" "$INSTDIR\quilupdate.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quil Firmware Update"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
SectionEnd

Section "Uninstall"
  SetRegView 64
  SetShellVarContext all
  Delete "$SMPROGRAMS\Quil Firmware Update\Quil Firmware Update.lnk"
  RMDir "$SMPROGRAMS\Quil Firmware Update"
  Delete "$INSTDIR\quilupdate.exe"
  Delete "$INSTDIR\quiltool.exe"
  Delete "$INSTDIR\quil-sim.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
