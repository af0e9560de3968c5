# Helpers for the tests that run the real program as a process (sourced).
# Sourcing makes the temporary folder $work; at exit it is removed and the
# program started last ($pid) is killed if still running. Every wait is
# bounded; a failing test leaves its message on standard error.

work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Up to $1 tenths of a second for the rest of the line to succeed.
within() {
    local tenths=$1
    shift
    for _ in $(seq 1 "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}

# startProgram <exe> <stderr file> [-u NAME ...] [VAR=value ...]: starts the
# program with the environment changed as given (as env takes it) and waits
# until it has fixed its settings file (the first line it prints); sets $pid.
startProgram() {
    local exe=$1 err=$2
    shift 2
    env "$@" "$exe" 2>"$err" &
    pid=$!
    within 100 grep -q '^Settings file: ' "$err" || { cat "$err" >&2; fail "$exe did not start"; }
}

# The settings file the program reported.
reportedSettings() { sed -n 's/^Settings file: //p' "$1" | head -1; }

gone() { ! kill -0 "$pid" 2>/dev/null; }

# SIGTERM ends the program within 3 s with status 0.
terminate() {
    kill -TERM "$pid" 2>/dev/null || fail "program already ended before SIGTERM ($1)"
    within 30 gone || fail "program did not end within 3 s of SIGTERM ($1)"
    local status=0
    wait "$pid" || status=$?
    pid=
    [ "$status" -eq 0 ] || fail "exit status $status ($1)"
}

# The program saved its settings (at close) in this file.
saved() { grep -q '^\[Display\]' "$1" 2>/dev/null; }
