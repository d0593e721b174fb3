@echo off
rem Registers (install) or removes (remove) the event source of Ovrin.exe.
rem The program only reports under a registered source; it never registers
rem one itself. Run it as an administrator.
rem   eventsource.cmd install [path\to\Name.exe [Source]]
rem   eventsource.cmd remove [Source]
rem The source is the executable's name without extension, in lower case with
rem a capital first letter (Ovrin for Ovrin.exe); give it when the executable
rem has another name.
rem Results are tested with "if errorlevel": Wine's cmd runs the command
rem after "||" even when the first one succeeded (measured, Wine 8.0).
setlocal
set "KEYBASE=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application"
if /i "%~1"=="install" goto install
if /i "%~1"=="remove" goto remove
echo usage: %~nx0 install [path\to\Name.exe [Source]] ^| remove [Source] 1>&2
exit /b 2

:install
set "EXE=%~f2"
if "%~2"=="" set "EXE=%~dp0..\build\bin\Ovrin.exe"
for %%F in ("%EXE%") do set "EXE=%%~fF"
set "SOURCE=%~3"
if "%SOURCE%"=="" set "SOURCE=Ovrin"
if not exist "%EXE%" (
    echo %EXE% does not exist. 1>&2
    exit /b 1
)
reg add "%KEYBASE%\%SOURCE%" /v EventMessageFile /t REG_EXPAND_SZ /d "%EXE%" /f >nul
if errorlevel 1 exit /b 1
reg add "%KEYBASE%\%SOURCE%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 exit /b 1
echo Registered the event source %SOURCE% with the messages of %EXE%.
exit /b 0

:remove
set "SOURCE=%~2"
if "%SOURCE%"=="" set "SOURCE=Ovrin"
reg query "%KEYBASE%\%SOURCE%" >nul 2>&1
if errorlevel 1 (
    echo The event source %SOURCE% is not registered.
    exit /b 0
)
reg delete "%KEYBASE%\%SOURCE%" /f >nul
if errorlevel 1 exit /b 1
echo Removed the event source %SOURCE%.
exit /b 0
