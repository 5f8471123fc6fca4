; Per-user installer of tavrinhost for Windows x64, built on Linux by scripts/build-windows:
;   makensis -DVERSION=x.y.z -DDIST=folder -DOPENSSL_EXE=file -DCONFIG_HEAD=file -DOUTFILE=file
;            windows/installer.nsi
; No administrator rights: installs into the user's local programs folder, makes the FIPS
; provider's section of openssl.cnf on the machine (fipsinstall runs the provider's self-tests
; there), writes the host manifests, and registers them for Chrome, Chromium, Microsoft Edge
; and Firefox under HKCU (64-bit registry view).
;
; Options:  /EXTENSION_ID=ID[,ID...]  Chromium-family extension ids (32 letters a-p; empty: none)
;           /FIREFOX_ID=ID            Firefox add-on id (empty: no Firefox registration)
;           /S                        silent; /D=FOLDER (last) installs elsewhere
; Exit codes: 0 installed, 2 a malformed option, 3 the provider failed its self-tests.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include FileFunc.nsh
!include LogicLib.nsh

!define HOST "com.tavrinhost.host"
!define DEFAULT_EXTENSION_ID "bbidhjgjegimbmeniibhecfggohgpkdc"
!define DEFAULT_FIREFOX_ID "tavrinhost-sample@example.org"
!define CHROMIUM_MANIFEST "${HOST}.json"
!define FIREFOX_MANIFEST "${HOST}.firefox.json"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\tavrinhost"

Name "tavrinhost ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\tavrinhost"
ShowInstDetails show
ShowUninstDetails show

Var ExtensionIds ; comma-separated Chromium-family ids
Var FirefoxId
Var Origins      ; the JSON list items of allowed_origins

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; ---- options ---------------------------------------------------------------------------

; Ends the installer with exit code 2 after saying which option is malformed.
!macro REFUSE_OPTION TEXT
    MessageBox MB_OK|MB_ICONSTOP "${TEXT}" /SD IDOK
    SetErrorLevel 2
    Quit
!macroend

; Pushes 1 when the id on the stack is 32 letters from a to p, else 0.
Function IsChromiumId
    Exch $R0
    Push $R1
    Push $R2
    Push $R3
    Push $R4
    Push $R5
    StrLen $R1 $R0
    StrCpy $R4 1
    ${IfThen} $R1 != 32 ${|} StrCpy $R4 0 ${|}
    StrCpy $R1 0
    ${DoWhile} $R4 == 1
        StrCpy $R2 $R0 1 $R1
        ${IfThen} $R2 == "" ${|} ${ExitDo} ${|}
        ; Drop letters until the rest starts with this character (S== is case-sensitive).
        StrCpy $R3 "abcdefghijklmnop"
        ${Do}
            ${IfThen} $R3 == "" ${|} ${ExitDo} ${|}
            StrCpy $R5 $R3 1
            ${IfThen} $R5 S== $R2 ${|} ${ExitDo} ${|}
            StrCpy $R3 $R3 "" 1
        ${Loop}
        ${IfThen} $R3 == "" ${|} StrCpy $R4 0 ${|}
        IntOp $R1 $R1 + 1
    ${Loop}
    StrCpy $R0 $R4
    Pop $R5
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Exch $R0
FunctionEnd

; Splits $ExtensionIds at commas, checks each id and builds $Origins.
Function MakeOrigins
    StrCpy $Origins ""
    StrCpy $R0 $ExtensionIds
    ${DoWhile} $R0 != ""
        ; $R1: the text before the first comma; $R0: the rest.
        StrCpy $R2 0
        ${Do}
            StrCpy $R3 $R0 1 $R2
            ${IfThen} $R3 == "" ${|} ${ExitDo} ${|}
            ${IfThen} $R3 == "," ${|} ${ExitDo} ${|}
            IntOp $R2 $R2 + 1
        ${Loop}
        StrCpy $R1 $R0 $R2
        IntOp $R2 $R2 + 1
        StrCpy $R0 $R0 "" $R2
        Push $R1
        Call IsChromiumId
        Pop $R3
        ${If} $R3 != 1
            !insertmacro REFUSE_OPTION "Malformed extension id '$R1': a Chromium extension id is 32 letters from a to p."
        ${EndIf}
        ${If} $Origins != ""
            StrCpy $Origins "$Origins, "
        ${EndIf}
        StrCpy $Origins '$Origins"chrome-extension://$R1/"'
    ${Loop}
FunctionEnd

; A Firefox id goes into the manifest as a JSON string: no quote, backslash or space.
Function CheckFirefoxId
    StrCpy $R0 0
    ${Do}
        StrCpy $R1 $FirefoxId 1 $R0
        ${IfThen} $R1 == "" ${|} ${ExitDo} ${|}
        ${If} $R1 == '"'
        ${OrIf} $R1 == "\"
        ${OrIf} $R1 == " "
            !insertmacro REFUSE_OPTION "Malformed Firefox add-on id '$FirefoxId'."
        ${EndIf}
        IntOp $R0 $R0 + 1
    ${Loop}
FunctionEnd

Function .onInit
    SetRegView 64
    ${GetParameters} $R9
    ClearErrors
    ${GetOptions} $R9 "/EXTENSION_ID=" $ExtensionIds
    ${IfThen} ${Errors} ${|} StrCpy $ExtensionIds "${DEFAULT_EXTENSION_ID}" ${|}
    ClearErrors
    ${GetOptions} $R9 "/FIREFOX_ID=" $FirefoxId
    ${IfThen} ${Errors} ${|} StrCpy $FirefoxId "${DEFAULT_FIREFOX_ID}" ${|}
    Call MakeOrigins
    Call CheckFirefoxId
FunctionEnd

; ---- installation ----------------------------------------------------------------------

; Writes openssl.cnf: the fixed head, then the section fipsinstall made, without its
; "activate" line (the program switches the provider on itself).
Function WriteConfig
    FileOpen $R0 "$INSTDIR\openssl.cnf" w
    FileOpen $R1 "$PLUGINSDIR\openssl-head.cnf" r
    ${Do}
        ClearErrors
        FileRead $R1 $R2
        ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
        FileWrite $R0 $R2
    ${Loop}
    FileClose $R1
    FileOpen $R1 "$PLUGINSDIR\fipsmodule.cnf" r
    ${Do}
        ClearErrors
        FileRead $R1 $R2
        ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
        StrCpy $R3 $R2 8
        ${IfThen} $R3 != "activate" ${|} FileWrite $R0 $R2 ${|}
    ${Loop}
    FileClose $R1
    FileClose $R0
FunctionEnd

; Writes a host manifest: $R0 file name, $R1 member name, $R2 the list's items.
Function WriteManifest
    FileOpen $R3 "$INSTDIR\$R0" w
    FileWrite $R3 '{$\r$\n'
    FileWrite $R3 '  "name": "${HOST}",$\r$\n'
    FileWrite $R3 '  "description": "tavrinhost local encryption service (AES-256, FIPS mode)",$\r$\n'
    FileWrite $R3 '  "path": "tavrinhost.exe",$\r$\n'
    FileWrite $R3 '  "type": "stdio",$\r$\n'
    FileWrite $R3 '  "$R1": [$R2]$\r$\n'
    FileWrite $R3 '}$\r$\n'
    FileClose $R3
FunctionEnd

Section "tavrinhost"
    SetOutPath "$INSTDIR"
    File "${DIST}/tavrinhost.exe"
    File "${DIST}/tavrinhost-nm.exe"
    File "${DIST}/tavrinhost-http.exe"
    File "${DIST}/fips.dll"

    ; fipsinstall needs openssl.exe only now; it runs from the installer's temporary folder,
    ; with an empty configuration of its own whatever the user's environment names.
    InitPluginsDir
    File "/oname=$PLUGINSDIR\openssl.exe" "${OPENSSL_EXE}"
    File "/oname=$PLUGINSDIR\openssl-head.cnf" "${CONFIG_HEAD}"
    FileOpen $R0 "$PLUGINSDIR\empty.cnf" w
    FileClose $R0
    System::Call 'kernel32::SetEnvironmentVariable(t "OPENSSL_CONF", t "$PLUGINSDIR\empty.cnf")'
    System::Call 'kernel32::SetEnvironmentVariable(t "OPENSSL_MODULES", t "$INSTDIR")'
    DetailPrint "Installing the FIPS provider (self-tests)..."
    nsExec::ExecToLog '"$PLUGINSDIR\openssl.exe" fipsinstall -module "$INSTDIR\fips.dll" -out "$PLUGINSDIR\fipsmodule.cnf"'
    Pop $R0
    ${If} $R0 != 0
        Delete "$INSTDIR\tavrinhost.exe"
        Delete "$INSTDIR\tavrinhost-nm.exe"
        Delete "$INSTDIR\tavrinhost-http.exe"
        Delete "$INSTDIR\fips.dll"
        RMDir "$INSTDIR"
        MessageBox MB_OK|MB_ICONSTOP "The FIPS provider failed its self-tests ($R0); nothing was installed." /SD IDOK
        SetErrorLevel 3
        Quit
    ${EndIf}
    Call WriteConfig

    ; Manifests, and the registry keys whose default value names them.
    ${If} $Origins != ""
        StrCpy $R0 "${CHROMIUM_MANIFEST}"
        StrCpy $R1 "allowed_origins"
        StrCpy $R2 $Origins
        Call WriteManifest
        WriteRegStr HKCU "Software\Google\Chrome\NativeMessagingHosts\${HOST}" "" "$INSTDIR\${CHROMIUM_MANIFEST}"
        WriteRegStr HKCU "Software\Chromium\NativeMessagingHosts\${HOST}" "" "$INSTDIR\${CHROMIUM_MANIFEST}"
        WriteRegStr HKCU "Software\Microsoft\Edge\NativeMessagingHosts\${HOST}" "" "$INSTDIR\${CHROMIUM_MANIFEST}"
    ${EndIf}
    ${If} $FirefoxId != ""
        StrCpy $R0 "${FIREFOX_MANIFEST}"
        StrCpy $R1 "allowed_extensions"
        StrCpy $R2 '"$FirefoxId"'
        Call WriteManifest
        WriteRegStr HKCU "Software\Mozilla\NativeMessagingHosts\${HOST}" "" "$INSTDIR\${FIREFOX_MANIFEST}"
    ${EndIf}

    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "tavrinhost"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; ---- removal ---------------------------------------------------------------------------

; Deletes a key that holds neither subkeys nor values (a browser's own keys stay).
!macro DELETE_IF_EMPTY KEY
    DeleteRegKey /ifempty /ifnovalues HKCU "${KEY}"
!macroend

Function un.onInit
    SetRegView 64
FunctionEnd

Section "Uninstall"
    DeleteRegKey HKCU "Software\Google\Chrome\NativeMessagingHosts\${HOST}"
    DeleteRegKey HKCU "Software\Chromium\NativeMessagingHosts\${HOST}"
    DeleteRegKey HKCU "Software\Microsoft\Edge\NativeMessagingHosts\${HOST}"
    DeleteRegKey HKCU "Software\Mozilla\NativeMessagingHosts\${HOST}"
    !insertmacro DELETE_IF_EMPTY "Software\Google\Chrome\NativeMessagingHosts"
    !insertmacro DELETE_IF_EMPTY "Software\Google\Chrome"
    !insertmacro DELETE_IF_EMPTY "Software\Google"
    !insertmacro DELETE_IF_EMPTY "Software\Chromium\NativeMessagingHosts"
    !insertmacro DELETE_IF_EMPTY "Software\Chromium"
    !insertmacro DELETE_IF_EMPTY "Software\Microsoft\Edge\NativeMessagingHosts"
    !insertmacro DELETE_IF_EMPTY "Software\Microsoft\Edge"
    !insertmacro DELETE_IF_EMPTY "Software\Mozilla\NativeMessagingHosts"
    !insertmacro DELETE_IF_EMPTY "Software\Mozilla"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"

    Delete "$INSTDIR\tavrinhost.exe"
    Delete "$INSTDIR\tavrinhost-nm.exe"
    Delete "$INSTDIR\tavrinhost-http.exe"
    Delete "$INSTDIR\fips.dll"
    Delete "$INSTDIR\openssl.cnf"
    Delete "$INSTDIR\${CHROMIUM_MANIFEST}"
    Delete "$INSTDIR\${FIREFOX_MANIFEST}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
