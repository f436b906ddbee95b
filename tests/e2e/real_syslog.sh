#!/bin/bash
# daemon relaying a command's lines to a real syslog daemon: busybox's
# syslogd, run in a private mount namespace whose /dev (and /run, where
# syslogd keeps its pidfile) are tmpfs mounts of the test's own, so the
# machine's /dev/log and syslog are never touched.
#   real_syslog.sh DAEMON
set -u

skip() { echo "SKIP: $*"; exit 77; }

if [[ ${1:-} != --inside ]]; then
	daemon=$(realpath -- "${1:?usage: real_syslog.sh DAEMON}") || exit 1
	[[ -x $daemon ]] || { echo "FAIL: $daemon is not executable"; exit 1; }
	[[ $(id -u) -eq 0 ]] || skip "needs root to mount in a private namespace"
	command -v busybox >/dev/null || skip "busybox is not installed"
	busybox syslogd --help >/dev/null 2>&1 || skip "busybox has no syslogd"
	command -v unshare >/dev/null || skip "unshare (util-linux) is missing"
	unshare -m --propagation private true 2>/dev/null ||
	    skip "cannot create a mount namespace here"
	work=$(mktemp -d) || exit 1
	trap 'rm -rf "$work"' EXIT
	# The namespace ends with its last process; timeout bounds the whole
	# run, and the inner trap cleans up on its TERM.
	timeout -k 5 50 unshare -m --propagation private \
	    bash --norc "$0" --inside "$daemon" "$work"
	rc=$?
	((rc == 124)) && echo "FAIL: timed out"
	exit $rc
fi

daemon=$2 work=$3
syslogd_pid='' supervisor_pid='' child_pid=''

fail() { echo "FAIL: $*"; exit 1; }

# True while the process runs; a zombie counts as gone.
alive()
{
	local stat
	[[ -n $1 ]] && stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
	stat=${stat##*) }
	[[ ${stat%% *} != Z ]]
}
gone() { ! alive "$1"; }

# wait_until TENTHS COMMAND...: polls COMMAND every tenth of a second.
wait_until()
{
	local tries=$1
	shift
	while ((tries-- > 0)); do
		"$@" && return 0
		sleep 0.1
	done
	"$@"
}

cleanup()
{
	local p
	for p in "$supervisor_pid" "$child_pid" "$syslogd_pid"; do
		alive "$p" && kill -KILL "$p" 2>/dev/null
	done
	[[ -n $syslogd_pid ]] && wait "$syslogd_pid" 2>/dev/null
	# The supervisor is no child of ours (it detached); see it gone.
	for p in "$supervisor_pid" "$child_pid"; do
		wait_until 50 gone "$p" ||
		    echo "warning: process $p outlived the test"
	done
}
trap cleanup EXIT
trap 'exit 1' TERM INT HUP

mkdir "$work/dev" &&
    mount -t tmpfs -o mode=0755,size=64k devtmp "$work/dev" &&
    touch "$work/dev/null" &&
    mount --bind /dev/null "$work/dev/null" &&
    ln -s /proc/self/fd "$work/dev/fd" &&
    ln -s /proc/self/fd/0 "$work/dev/stdin" &&
    ln -s /proc/self/fd/1 "$work/dev/stdout" &&
    ln -s /proc/self/fd/2 "$work/dev/stderr" &&
    mount --move "$work/dev" /dev &&
    mount -t tmpfs -o mode=0755,size=64k runtmp /run ||
    skip "cannot build a private /dev and /run"

busybox syslogd -n -O "$work/messages" &
syslogd_pid=$!
wait_until 50 test -S /dev/log || fail "busybox syslogd made no /dev/log"

# The command waits for "go" so that the supervisor's pidfile can be read
# before the supervisor ends (it removes the file then).  It writes on both
# of its streams, a "%" that must not be taken as a format, a line that is
# long but fits in the 1 KiB that busybox's syslogd reads of one message,
# and a last line without a newline.
long=$(printf 'long-%04d ' $(seq 1 60))
long=${long% }
expected=(
	'first line'
	'100% done, %s %n %% kept as written'
	'on standard error'
	"$long"
	'last line without a newline'
)
"$daemon" -S -T tag -l local3 -s info \
    -P "$work/supervisor.pid" -p "$work/child.pid" -- \
    sh -c 'i=0
	while [ ! -e "$1/go" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
	printf "%s\n%s\n" "$2" "$3"
	printf "%s\n" "$4" >&2
	printf "%s\n%s" "$5" "$6"' \
    sh "$work" "${expected[@]}"
rc=$?
((rc == 0)) || fail "daemon exited with status $rc before detaching"

read_pid() { [[ -s $1 ]] && read -r "$2" <"$1" && [[ -n ${!2} ]]; }
wait_until 50 read_pid "$work/supervisor.pid" supervisor_pid ||
    fail "no supervisor pidfile"
wait_until 50 read_pid "$work/child.pid" child_pid || fail "no child pidfile"
[[ $supervisor_pid != "$child_pid" ]] ||
    fail "supervisor and child share the pid $supervisor_pid"
touch "$work/go"

# No restart was asked for: the supervisor ends when the command does.
wait_until 100 gone "$supervisor_pid" ||
    fail "the supervisor $supervisor_pid did not end after its command"
[[ ! -e $work/supervisor.pid ]] || fail "the supervisor left its pidfile"

# busybox writes "Mmm dd hh:mm:ss host facility.priority tag[pid]: text".
prefix_re='^[A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] [^ ]+ '
record_re="${prefix_re}local3\\.info tag\\[$supervisor_pid\\]: (.*)\$"
got=()
collect()
{
	local line
	got=()
	while IFS= read -r line; do
		[[ $line =~ ${prefix_re}syslog\.[a-z]+\ syslogd ]] && continue
		[[ $line =~ $record_re ]] ||
		    fail "record with another facility, priority, tag or pid: $line"
		got+=("${BASH_REMATCH[1]}")
	done <"$work/messages"
	((${#got[@]} >= ${#expected[@]}))
}
wait_until 50 collect
((${#got[@]} == ${#expected[@]})) ||
    fail "${#got[@]} records, want ${#expected[@]}: $(printf '[%s] ' "${got[@]}")"
for i in "${!expected[@]}"; do
	[[ ${got[i]} == "${expected[i]}" ]] ||
	    fail "record $i is [${got[i]}], want [${expected[i]}]"
done
echo "all ${#expected[@]} lines reached syslogd as tag[$supervisor_pid] local3.info"
