#!/usr/bin/env bash
# Runs one of a kit's BaseTools C tools (GenFw, TianoCompress, ...), built
# once on first use by Tools/edk2-workspace.sh (which says so in a line).
#
#   Tools/kit-tool.sh KIT TOOL [ARGUMENT...]
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: $0 KIT TOOL [ARGUMENT...]" >&2; exit 2; }
kit=$1
tool=$2
shift 2
tools=$("$(dirname "$0")/edk2-workspace.sh" "$kit" | tail -n 1)
exec "$tools/Source/C/bin/$tool" "$@"
