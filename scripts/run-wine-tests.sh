#!/bin/sh
# Builds trellick-cli.exe (scripts/build-windows.sh) and runs the tests of
# the command line against it under wine, whose odbc32 hands the calls to
# this machine's unixODBC drivers: SQLite files, the SQL Server stand-in
# through FreeTDS, and the PostgreSQL and MariaDB servers the tests start.
# The Linux test programs come from build-core/ (scripts/run-tests.sh).
# Fails if any test fails; prints the time it took.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
started=$(date +%s)
exe=$(./scripts/build-windows.sh "$root/build-win")
built=$(date +%s)

export WINEPREFIX="$root/build-win/wineprefix" WINEDEBUG=-all
# No Mono or Gecko: a console program needs neither, and their installers
# would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot --init >/dev/null 2>&1
  wineserver -w
fi
# One wineserver for the whole stage: left to itself it exits a few seconds
# after its last program, and a program started while it is exiting loses
# its connection ("wine client error: recvmsg") before it has run at all.
wineserver -p
export TRELLICK_CLI="$root/tests/wine-cli.sh" TRELLICK_CLI_EXE="$exe"

# Linux only, by what they check:
# - the bytes a pseudo-terminal receives, which wine's console redraws in its
#   own way;
# - the journal folder's POSIX mode bits (on Windows an access list keeps it
#   private, which wine does not turn into mode bits);
# - kills timed to land mid-run by Linux's start-up time, not wine's;
# - a run as another user, for whom root's wine set-up is not usable;
# - arguments holding invalid UTF-8, which Windows' UTF-16 command line
#   cannot carry (they arrive as U+FFFD);
# - SIGTERM and SIGHUP, which Windows does not have;
# - ~/.my.cnf, read from $HOME, which a Windows program is not given (nor is
#   it where MariaDB keeps its option files there).
linux_only="Cli.onATerminalItAsksAndShowsProgress:Cli.thePasswordIsAskedWithoutEcho"
linux_only="$linux_only:CliUndo.anExistingJournalFolderIsMadeOwnerOnly"
linux_only="$linux_only:CliUndo.aReplaceKilledMidwayLeavesJournalAndDatabaseInAgreement"
linux_only="$linux_only:SqliteSchemas.shrinkOnAReadOnlyFileFailsWithTheReason"
linux_only="$linux_only:CliUndo.aSharedFolderOfTheJournalIsLeftAsItWas"
linux_only="$linux_only:Cli.badTextsAndServerFieldsAreRefusedInEnglish"
linux_only="$linux_only:Cli.terminationSignalsStopBetweenTablesWithTheSummary"
linux_only="$linux_only:Cli.mariadbPasswordFromItsVariableAndItsFile"
status=0
for test in test_cli test_cli_undo test_cli_engines test_sqlite_undo test_sqlite_names_timeout \
  test_sqlite_schemas test_mariadb_strict; do
  echo "== $test under wine"
  t0=$(date +%s)
  "build-core/tests/$test" --gtest_filter="-$linux_only" --gtest_brief=1 || status=1
  echo "$test: $(($(date +%s) - t0)) s"
done
wineserver -k 2>/dev/null || true
ended=$(date +%s)
echo "wine stage: build $((built - started)) s, tests $((ended - built)) s"
exit $status
