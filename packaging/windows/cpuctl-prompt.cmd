@echo off
rem The Start menu's "cpuctl Command Prompt": cpuctl on the PATH of this prompt only, in the
rem user's own folder, where packages can be written (Program Files cannot).
set "PATH=%~dp0;%PATH%"
cd /d "%USERPROFILE%"
cpuctl --version
echo Type "cpuctl --help" for the commands, such as
echo     cpuctl ports
echo     cpuctl upgrade --port COM3 --package RQ_CPU.cpu
