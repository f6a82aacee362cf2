#!/usr/bin/env bash
# The layer rule, checked on the sources: no file includes a header of a layer above its own, and
# the front ends reach the engine only through its public headers. Prints each breach; exits 1
# when there is one.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
# breach DIRS ALLOWED-PATTERN: every "idx/..." or "os/..."/"front/..."/"ui/..."/"cli/..." include
# of the files under DIRS must match ALLOWED-PATTERN.
breach() {
    local dirs=$1 allowed=$2
    local found
    found=$(grep -Hn '#include "\(idx\|os\|front\|ui\|cli\|app\)/' $(git ls-files $dirs | grep -E '\.(h|cpp)$') |
            grep -v -E "#include \"($allowed)\"")
    if [ -n "$found" ]; then
        echo "$found"
        status=1
    fi
}
public='idx/(engine|kinds|idxdir)\.h|os/os\.h|front/[a-z]+\.h'
breach os 'os/os\.h'
breach 'idx/store idx/text' 'idx/(check|kinds|idxdir|run)\.h|idx/(store|text)/[a-z]+\.h|os/os\.h'
breach idx/read 'idx/(check|engine|kinds|idxdir|run)\.h|idx/(store|text|read)/[a-z]+\.h|os/os\.h'
# The front-end core also converts text with the engine's pure encoding functions.
breach front "$public|idx/text/encoding\.h"
breach cli "$public|cli/commands\.h"
breach 'ui app' "$public|ui/[A-Za-z]+\.h|ui_[A-Za-z]+\.h"
exit $status
