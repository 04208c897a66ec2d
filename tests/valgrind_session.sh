#!/usr/bin/env bash
# valgrind_session.sh: one whole session of kestord under valgrind's memcheck: start-up,
# service output on both streams, exits and restarts, control commands good and bad, a
# reload that adds a service, the status signal, and the shutdown. It fails on any invalid
# access and on any leak other than memory that lives as long as the process (still
# reachable at exit).
#
#	tests/valgrind_session.sh build/bin/kestord
set -euo pipefail

kestord=$(realpath "${1:?usage: $0 path/to/kestord}")
patience=60	# seconds for each awaited line; memcheck slows the daemon down many times
dir=$(mktemp -d "${TMPDIR:-/tmp}/kestor-valgrind.XXXXXX")
log=$dir/log
vg=
daemon=

cleanup() {
	# The daemon by its pid, then the process group of every service it was seen to start.
	if [ -n "$vg" ] && kill -0 "$vg" 2>/dev/null; then
		kill -KILL "$vg" 2>/dev/null || true
	fi
	if [ -f "$log" ]; then
		sed -n 's/.*\[\([0-9][0-9]*\)\] started$/\1/p' "$log" | while read -r pid; do
			kill -KILL -- "-$pid" 2>/dev/null || true
		done
	fi
	rm -rf "$dir"
}
trap cleanup EXIT

fail() {
	echo "valgrind session: $*" >&2
	echo "--- daemon log" >&2
	cat "$log" >&2 || true
	echo "--- valgrind" >&2
	cat "$dir/valgrind.log" >&2 || true
	exit 1
}

# Waits until the log holds a line matching the extended regular expression, as many times
# as asked (once by default).
await() {
	local pattern=$1 count=${2:-1} waited=0
	while [ "$(grep -cE -- "$pattern" "$log" || true)" -lt "$count" ]; do
		kill -0 "$vg" 2>/dev/null || fail "the daemon ended while waiting for: $pattern"
		[ "$waited" -lt $((patience * 10)) ] || fail "no line matching: $pattern"
		sleep 0.1
		waited=$((waited + 1))
	done
}

command() {
	timeout 10 sh -c 'printf "%s\n" "$1" > "$2"' sh "$1" "$dir/pipe" ||
		fail "cannot write to the control pipe: $1"
}

cat > "$dir/kestor.conf" <<'EOF'
% echo prepended
talker echo "out line"; echo "err line" >&2; printf 'no newline'; sleep 0.5; exit 1
steady sleep 1000
stopper echo "%s %n format"; exit 64
@root echo privileged; exec sleep 1000
EOF

# Without the C library's clean-up at exit: it clears environ, which makes the copy of the
# environment that the process title code keeps for the whole run look lost.
valgrind --quiet --error-exitcode=99 --run-libc-freeres=no --leak-check=full --show-leak-kinds=definite,indirect,possible \
	--errors-for-leak-kinds=definite,indirect,possible --child-silent-after-fork=yes \
	--log-file="$dir/valgrind.log" \
	"$kestord" -d -f "$dir/kestor.conf" -c "$dir/pipe" -p "$dir/pid" -t 300 -C "$dir" \
	</dev/null 2>"$log" &
vg=$!

# Output, exits and restarts.
await '^kestord\[[0-9]+\]: talker\[[0-9]+\]: prepended$'
await 'talker\[[0-9]+\]: out line$'
await 'talker\[[0-9]+\]: err line$'
await 'talker\[[0-9]+\]: no newline$'
await 'talker\[[0-9]+\] exited 1$'
await 'talker\[[0-9]+\] restarting in 300ms$'
await 'talker\[[0-9]+\] started$' 2
await 'stopper\[[0-9]+\]: %s %n format$'
await 'stopper\[[0-9]+\] exited 64$'
await '@root\[[0-9]+\]: privileged$'
daemon=$(cat "$dir/pid")
[ "$daemon" = "$vg" ] || fail "pid file names $daemon, not $vg"

# Control commands: each action, signals, refusals, a line longer than the buffer.
command 'status *'
await 'steady\[[0-9]+\] is started \(up '
await 'stopper\[\] is stopped$'
command 'restart steady'
await 'steady\[[0-9]+\] started$' 2
# The signal goes only once the new shell runs: valgrind keeps a signal that reaches the
# child between fork and exec in a queue of its own, which the exec then loses; natively the
# kernel keeps it pending across the exec.
await 'steady\[[0-9]+\]: prepended$' 2
command 'term steady'
await 'steady\[[0-9]+\] restarting in 300ms$'
await 'steady\[[0-9]+\] started$' 3
command 'hup @root'
await '@root\[[0-9]+\] signaled hup$'
command 'stop talker'
await 'talker\[[0-9]*\] stopped$'
command 'drop stopper'
await 'stopper\[\] dropped$'
command 'start stopper'
await 'no services matching stopper$'
command 'bogus steady'
await 'unknown action or signal bogus$'
command 'lonely'
await 'no service names for lonely$'
command "status $(printf 'x%.0s' $(seq 600))"
await 'command longer than 511 bytes refused: status x+\.\.\.$'

# A reload that adds a service, which then starts on command.
echo 'newcomer echo "hello from the new one"; exec sleep 1000' >> "$dir/kestor.conf"
kill -HUP "$vg"
for _ in $(seq 50); do
	command 'status newcomer'
	grep -q 'newcomer\[\] is stopped$' "$log" && break
	sleep 0.2
done
await 'newcomer\[\] is stopped$'
command 'start newcomer'
await 'newcomer\[[0-9]+\]: hello from the new one$'

# The status signal, then the shutdown.
kill -USR1 "$vg"
await 'newcomer\[[0-9]+\] is started \(up .*\)$' 1
kill -TERM "$vg"
status=0
wait "$vg" || status=$?
vg=
grep -qE 'steady\[[0-9]+\] stopped$' "$log" || fail "steady was not stopped at shutdown"
[ "$status" -eq 0 ] || fail "exit status $status"
[ ! -e "$dir/pipe" ] || fail "the control pipe is left behind"
if grep -qE 'Invalid|uninitialised|definitely lost|indirectly lost|possibly lost' "$dir/valgrind.log"; then
	fail "memcheck found errors"
fi
echo "valgrind session: no invalid access, no leak; $(grep -c 'started$' "$log") starts, $(wc -l < "$log") log lines"
