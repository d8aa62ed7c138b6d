#!/usr/bin/env bash
# Runs a Windows program under Wine, in a prefix of the build's own (created on first use, which
# takes a while) rather than the user's, with Wine's debug output off and without the Mono and
# Gecko installers that a new prefix would otherwise ask for.
# Usage: run-under-wine.sh WINE PREFIX PROGRAM [ARGUMENTS...]
set -euo pipefail
wine=$1 prefix=$2
shift 2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
exec "$wine" "$@"
