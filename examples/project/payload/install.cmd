@echo off
echo Beispiel wird installiert: %*
