#!/bin/bash
# Drives daemon's bash completion the way readline does and checks what it
# offers.  Run with bash --norc:
#   completion_test.sh plain|bash-completion COMPLETION_SCRIPT DAEMON
# "plain" uses bash alone; "bash-completion" loads that package first, so
# the words after the command go to the command's own completion.
set -u
mode=$1 script=$(realpath -- "$2") daemon=$(realpath -- "$3") || exit 1

if [[ $mode == bash-completion ]]; then
	found=''
	for f in /usr/share/bash-completion/bash_completion \
	    /etc/bash_completion; do
		[[ -r $f ]] && found=$f && break
	done
	if [[ -z $found ]]; then
		echo "SKIP: the bash-completion package is not installed"
		exit 77
	fi
	# shellcheck disable=SC1090
	. "$found"
	if ! declare -F _command_offset >/dev/null; then
		echo "SKIP: $found defines no _command_offset"
		exit 77
	fi
fi

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch alpha.log alpha.pid beta.txt
mkdir adir

# A command with a completion of its own, to see the words after it handed
# over to that completion.
fakecmd() { :; }
complete -W '--alpha --beta' fakecmd

# shellcheck disable=SC1090
. "$script"
func=$(complete -p daemon 2>/dev/null | sed -n 's/.*-F \([^ ]*\).*/\1/p')
if [[ -z $func ]]; then
	echo "FAIL: $script registers no completion function for daemon"
	exit 1
fi

# Completes LINE with the cursor at its end.  The words are split as
# readline splits them with the default COMP_WORDBREAKS: at blanks, and
# runs of "=" form words of their own.
complete_line()
{
	local line=$1 c w='' i
	local -a split=()
	for ((i = 0; i < ${#line}; i++)); do
		c=${line:i:1}
		if [[ $c == ' ' ]]; then
			[[ -n $w ]] && split+=("$w")
			w=''
		elif [[ $c == '=' ]]; then
			[[ -n $w && $w != *= ]] && split+=("$w") && w=''
			w+=$c
		else
			[[ $w == *= ]] && split+=("$w") && w=''
			w+=$c
		fi
	done
	split+=("$w")
	COMP_WORDS=("${split[@]}")
	COMP_CWORD=$((${#split[@]} - 1))
	COMP_LINE=$line
	COMP_POINT=${#line}
	COMPREPLY=()
	local prev=''
	((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
	"$func" daemon "${COMP_WORDS[COMP_CWORD]}" "$prev"
	reply=("${COMPREPLY[@]}")
}

failures=0
fail()
{
	echo "FAIL: $*"
	failures=$((failures + 1))
}

sorted() { printf '%s\n' "$@" | sort -u | tr '\n' ' '; }

contains()
{
	local want=$1 r
	shift
	for r in "$@"; do
		[[ $r == "$want" ]] && return 0
	done
	return 1
}

# expect HOW LINE WORDS...: HOW is "is" (exactly these words, in any
# order), "has" (at least these) or "lacks" (none of these).
expect()
{
	local how=$1 line=$2 w
	shift 2
	complete_line "$line"
	case $how in
	is)
		[[ $(sorted "${reply[@]}") == "$(sorted "$@")" ]] ||
		    fail "'$line': got [$(sorted "${reply[@]}")], want [$(sorted "$@")]"
		;;
	has)
		for w in "$@"; do
			contains "$w" "${reply[@]}" ||
			    fail "'$line': '$w' missing from [$(sorted "${reply[@]}")]"
		done
		;;
	lacks)
		for w in "$@"; do
			contains "$w" "${reply[@]}" &&
			    fail "'$line': '$w' offered in [$(sorted "${reply[@]}")]"
		done
		;;
	esac
}

shorts=(-c -f -H -S -p -P -r -u -o -s -l -t -m -R -T -h)
longs=(--change-dir --close-fds --sighup --syslog --output-file
    --output-mask --child-pidfile --supervisor-pidfile --restart
    --restart-delay --title --user --syslog-priority --syslog-facility
    --syslog-tag --help)
locals=(local0 local1 local2 local3 local4 local5 local6 local7)
files=(adir alpha.log alpha.pid beta.txt)

# Options.
expect is 'daemon -' "${shorts[@]}" "${longs[@]}"
expect is 'daemon --' "${longs[@]}"
expect is 'daemon --sys' --syslog --syslog-priority --syslog-facility --syslog-tag
expect is 'daemon --output-' --output-file --output-mask
expect is 'daemon -S -r --re' --restart --restart-delay

# Syslog names, as the next word, after "=" and glued to the letter.
expect is 'daemon -l loc' "${locals[@]}"
expect is 'daemon --syslog-facility loc' "${locals[@]}"
expect is 'daemon --syslog-facility=loc' "${locals[@]}"
expect is 'daemon --syslog-facility=' auth authpriv console cron daemon ftp \
    kern lpr mail mark news ntp security syslog user uucp "${locals[@]}"
expect is 'daemon -lloc' -llocal0 -llocal1 -llocal2 -llocal3 -llocal4 \
    -llocal5 -llocal6 -llocal7
expect is 'daemon -Sl m' mail mark
expect is 'daemon -s wa' warn warning
expect is 'daemon -s e' emerg err error
expect is 'daemon --syslog-priority ' alert crit debug emerg err error info \
    none notice panic warn warning
expect is 'daemon --syslog-p=n' none notice
expect is 'daemon -s LOC'

# Users, files and the arguments that have no list.
expect has 'daemon -u ' root nobody
expect has 'daemon -u ro' root
expect lacks 'daemon -u ro' nobody
expect has 'daemon --user=nob' nobody
expect has 'daemon --us nob' nobody
expect is 'daemon -o ' "${files[@]}"
expect is 'daemon -o al' alpha.log alpha.pid
expect is 'daemon --output-file=b' beta.txt
expect is 'daemon -S -p a' "${files[0]}" alpha.log alpha.pid
expect is 'daemon --supervisor-pidfile alpha.l' alpha.log
expect is 'daemon -m ' 0 1 2 3
expect is 'daemon -T '
expect is 'daemon -t '
expect is 'daemon -R '
expect is 'daemon -S -t al'

# The command's name: the first word that is no option or option argument.
expect has 'daemon sle' sleep
expect has 'daemon -S -r sle' sleep
expect has 'daemon -u nobody sle' sleep
expect has 'daemon -o alpha.log -T tag sle' sleep
expect has 'daemon --syslog-facility=local3 sle' sleep
expect has 'daemon -Slocal3 -R 5 sle' sleep
expect has 'daemon --title= fake' fakecmd
expect has 'daemon -- sle' sleep
expect has 'daemon -S -- fake' fakecmd
expect lacks 'daemon sle' "${longs[@]}"

# The words after the command belong to it, never to daemon.
expect lacks 'daemon -S fakecmd -' "${shorts[@]}" "${longs[@]}"
expect lacks 'daemon -- -S -' "${shorts[@]}" "${longs[@]}"
expect lacks 'daemon fakecmd -l loc' "${locals[@]}"
if [[ $mode == plain ]]; then
	expect is 'daemon -S fakecmd al' alpha.log alpha.pid
	expect is 'daemon -l local3 -- fakecmd -S b' beta.txt
	expect is 'daemon -S fakecmd --a'
else
	expect is 'daemon -S fakecmd --a' --alpha
	expect is 'daemon -S fakecmd --b' --beta
	expect is 'daemon --user=nobody -T x fakecmd --' --alpha --beta
	expect is 'daemon -- fakecmd --a' --alpha
fi

# What is offered must be what the built daemon accepts: each name parses
# (-h then ends it with status 0 before anything runs), and an option is
# completed as taking an argument exactly when getopt_long asks for one.
complete_line 'daemon -l '
for name in "${reply[@]}"; do
	"$daemon" -l "$name" -h 2>/dev/null ||
	    fail "daemon rejects the offered facility '$name'"
done
complete_line 'daemon -s '
for name in "${reply[@]}"; do
	"$daemon" -s "$name" -h 2>/dev/null ||
	    fail "daemon rejects the offered priority '$name'"
done
complete_line 'daemon -'
for opt in "${reply[@]}"; do
	msg=$("$daemon" "$opt" 2>&1 </dev/null)
	[[ $msg == *unrecognized* || $msg == *invalid\ option* ]] &&
	    fail "daemon does not know the offered option $opt"
	complete_line "daemon $opt sle"
	if contains sleep "${reply[@]}"; then
		[[ $msg == *requires\ an\ argument* ]] &&
		    fail "$opt takes an argument, but completion goes on after it"
	else
		[[ $msg != *requires\ an\ argument* ]] &&
		    fail "$opt takes no argument, but completion skips the next word"
	fi
done

if ((failures)); then
	echo "$failures failure(s)"
	exit 1
fi
echo "all completion cases passed ($mode)"
