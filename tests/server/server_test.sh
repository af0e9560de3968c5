#!/usr/bin/env bash
# dravane-server as users run it: its command line, and its three roles
# against the simulator over loopback (Normal: the link test reaches the
# controller; Server: a raw TCP client's command is answered through it;
# Client: its link test travels through the Server to the controller). Every
# settings file is read-only and must be left byte for byte; SIGTERM ends
# each copy within 3 s with status 0.
#   server_test.sh <dravane-server> <dravane-sim>
set -euo pipefail
source "$(dirname "$0")/../support/program.sh"
exe=$(realpath "$1")
sim=$(realpath "$2")

# The command line.
"$exe" --help >"$work/out" 2>"$work/err" || fail "--help exit status $?"
grep -q '^Usage: dravane-server' "$work/out" || fail "--help: $(head -1 "$work/out")"
[ "$("$exe" --version 2>&1)" = "dravane-server 2.0.1" ] || fail "--version: $("$exe" --version 2>&1)"
status=0
"$exe" --no-such-option >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 2 ] || fail "an unknown option gave exit status $status"
[ "$(wc -l <"$work/err")" -eq 1 ] && [ ! -s "$work/out" ] || { cat "$work/err" "$work/out" >&2; fail "an unknown option: not one line"; }

"$sim" --log >"$work/sim.log" 2>"$work/sim.err" &
simPid=$!
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; kill -KILL $simPid ${serverPid:-} 2>/dev/null || true; rm -rf "$work"' EXIT
within 100 test -s "$work/sim.log" || fail "the simulator printed no terminal"
pty=$(head -1 "$work/sim.log")
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# settings <name> <Comm lines...>: a read-only settings file $work/<name>.ini
# mapping COM7 to the simulator, and its copy to compare with.
settings() {
    local file=$work/$1.ini
    shift
    { echo '; a comment the program must keep'; echo '[Comm]'; printf '%s\n' "$@"; echo; echo '[Ports]'
      echo "COM7=$pty"; } >"$file"
    chmod 0444 "$file"
    cp "$file" "$file.expected"
}
unchanged() { cmp "$work/$1.ini.expected" "$work/$1.ini" || fail "the $1 changed its settings file"; }
logged() { grep -qF "$1" "$work/sim.log"; }

# Normal: the program's own link test reaches the controller and is answered.
settings normal Mode=0 Port=7
startProgram "$exe" "$work/normal.err" DRAVANE_CONFIG="$work/normal.ini"
within 100 logged '< [LINK]' || { cat "$work/normal.err" "$work/sim.log" >&2; fail "Normal: no link test reached the simulator"; }
within 30 logged '> [LINKOK]' || fail "Normal: the simulator did not answer"
terminate "Normal"
unchanged normal

# Server: a command from a raw TCP client comes back answered.
settings server Mode=2 Port=7 "ipPort=$port"
"$exe" --config "$work/server.ini" 2>"$work/server.err" &
serverPid=$!
reply=$(python3 - "$port" <<'PYEOF'
import socket, sys, time
deadline = time.monotonic() + 10
while True:
    try:
        s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1)
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("no listener")
        time.sleep(0.05)
s.settimeout(10)
s.sendall(b"[R98T4AH02]\r")
data = b""
while True:
    chunk = s.recv(256)
    if not chunk:
        sys.exit("closed")
    data += chunk
    lines = data.split(b"\r")
    # The TCP side speaks telnet: a bare CR travels as CR NUL.
    answers = [l.strip(b"\0") for l in lines[:-1] if l.strip(b"\0") not in (b"", b"[LINKOK]")]
    if answers:
        # A status packet: bracketed, its payload binary.
        print("packet" if answers[0][:1] == b"[" and answers[0][-1:] == b"]" else repr(answers[0]))
        break
PYEOF
) || { cat "$work/server.err" >&2; fail "Server: the raw client got no answer"; }
[ "$reply" = packet ] || fail "Server: the answer is $reply"

# Client: its link test goes to the Server, which hands it to the controller.
settings client Mode=1 ipAddress=127.0.0.1 "ipPort=$port"
startProgram "$exe" "$work/client.err" DRAVANE_CONFIG="$work/client.ini"
within 150 logged '< [REMOTE]' || { cat "$work/client.err" >&2; fail "Client: its link test did not reach the controller"; }
terminate "Client"
unchanged client

pid=$serverPid
serverPid=
terminate "Server"
unchanged server
kill -TERM $simPid
wait $simPid 2>/dev/null || true
echo "server program checks passed"
