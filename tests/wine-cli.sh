#!/bin/sh
# The command-line tests' program when they test the Windows build:
# TRELLICK_CLI names this script, TRELLICK_CLI_EXE the .exe, and WINEPREFIX
# the wine set-up scripts/run-wine-tests.sh made.
exec wine "$TRELLICK_CLI_EXE" "$@"
