#!/bin/sh
# Checks that the manual pages still describe what is built:
#
#   pages-match.sh options PAGE DAEMON
#	every option of the program's usage text, short and long form, has its
#	entry in PAGE and no entry is left for an option that is gone; the
#	SYNOPSIS lists the options in the usage text's order with the same
#	argument names, and the entries use those names too.
#   pages-match.sh synopsis PAGE HEADER LINKDIR
#	the prototypes in PAGE's SYNOPSIS are those the header exports, NAME
#	lists every exported function, and LINKDIR holds a page for each name
#	that resolves to PAGE.
#   pages-match.sh example PAGE INCLUDEDIR LIBRARY SERVER CC [CFLAGS...]
#	the C program in PAGE's EXAMPLES compiles without warnings against the
#	header and the library, and runs to success against SERVER, a local
#	SDP server started on a socket in a private directory.

LC_ALL=C
export LC_ALL

die() {
	echo "pages-match.sh: $*" >&2
	exit 1
}

# The lines of section $2 of page $1, without the .Sh line.
section() {
	awk -v want="$2" '
		/^\.Sh / { on = (substr($0, 5) == want); next }
		on { print }' "$1"
}

# Lines that differ between the files $2 (what was built) and $3 (the page),
# reported under the heading $1.
compare() {
	if ! out=$(diff "$2" "$3"); then
		echo "$1 (< built, > page):" >&2
		printf '%s\n' "$out" >&2
		failed=1
	fi
}

check_options() {
	page=$1 daemon=$2
	[ -r "$page" ] || die "cannot read $page"
	usage=$("$daemon" -h 2>&1 >/dev/null) || die "$daemon -h failed"

	# "  --change-dir         -c         ..." gives "c change-dir".
	printf '%s\n' "$usage" |
	    sed -n 's/^  --\([a-z-]*\) *-\([A-Za-z]\) .*/\2 \1/p' |
	    sort >"$tmp/built.opts"
	[ -s "$tmp/built.opts" ] || die "no options in the usage text"
	# ".It Fl c , Fl Fl change-dir" gives the same.
	sed -n 's/^\.It Fl \([A-Za-z]\) , Fl Fl \([a-z-]*\).*/\1 \2/p' \
	    "$page" | sort >"$tmp/page.opts"
	compare "options" "$tmp/built.opts" "$tmp/page.opts"

	# "[-cfHrS] [-p child_pidfile] ..." in the usage synopsis, one a line.
	printf '%s\n' "$usage" | sed '/^command/q' |
	    grep -o '\[-[A-Za-z]*\( [a-z_]*\)\{0,1\}\]' |
	    sed 's/^\[//; s/\]$//' >"$tmp/built.syn"
	[ -s "$tmp/built.syn" ] || die "no synopsis in the usage text"
	section "$page" SYNOPSIS |
	    sed -n 's/^\.Op Fl \([A-Za-z]*\)\( Ar \([a-z_]*\)\)\{0,1\}$/-\1 \3/p' |
	    sed 's/ $//' >"$tmp/page.syn"
	compare "synopsis" "$tmp/built.syn" "$tmp/page.syn"

	# The entries name each argument as the synopsis does.
	grep ' ' "$tmp/built.syn" | sort >"$tmp/built.args"
	sed -n 's/^\.It Fl \([A-Za-z]\) , Fl Fl [a-z-]* Ar \([a-z_]*\)$/-\1 \2/p' \
	    "$page" | sort >"$tmp/page.args"
	compare "option arguments" "$tmp/built.args" "$tmp/page.args"
}

check_synopsis() {
	page=$1 header=$2 linkdir=$3
	[ -r "$page" ] || die "cannot read $page"
	[ -r "$header" ] || die "cannot read $header"

	# Declarations from SDP_EXPORT to the semicolon, on one line each,
	# written as "type name(arg, arg)" with "*" bound to what follows.
	awk '
		/SDP_EXPORT/ && !/define/ { on = 1; decl = "" }
		on { decl = decl " " $0 }
		on && /;/ { print decl; on = 0 }' "$header" |
	    sed 's/SDP_EXPORT//; s/;.*//; s/[[:space:]][[:space:]]*/ /g;
		s/( /(/g; s/^ //; s/ $//; s/\* /*/g' |
	    sort >"$tmp/built.protos"
	[ -s "$tmp/built.protos" ] || die "no exported functions in $header"

	# ".Ft int32_t" then ".Fn name \"arg\" \"arg\"" makes the same line.
	section "$page" SYNOPSIS | awk -F'"' '
		/^\.Ft / { type = substr($0, 5); gsub(/"/, "", type); next }
		/^\.Fn / {
			split($1, w, " ")
			line = type " " w[2] "("
			for (i = 2; i <= NF; i += 2)
				line = line (i > 2 ? ", " : "") $i
			print line ")"
		}' |
	    sed 's/\* /*/g' | sort >"$tmp/page.protos"
	compare "prototypes" "$tmp/built.protos" "$tmp/page.protos"

	sed 's/(.*//; s/.*[ *]//' "$tmp/built.protos" | sort >"$tmp/built.names"
	section "$page" NAME | sed -n 's/^\.Nm \([A-Za-z0-9_]*\).*/\1/p' |
	    sort >"$tmp/page.names"
	compare "names" "$tmp/built.names" "$tmp/page.names"

	section=${page##*.}
	while read -r name; do
		link=$linkdir/$name.$section
		if [ ! -r "$link" ] || ! cmp -s "$link" "$page"; then
			echo "no page $link with the content of $page" >&2
			failed=1
		fi
	done <"$tmp/built.names"
}

check_example() {
	page=$1 includedir=$2 library=$3 server=$4 cc=$5
	shift 5
	[ -r "$page" ] || die "cannot read $page"

	# The first literal display of EXAMPLES, with the roff escapes undone.
	section "$page" EXAMPLES | awk '
		/^\.Bd -literal/ { on = 1; next }
		/^\.Ed/ && on { exit }
		on' |
	    sed 's/\\e/\\/g; s/\\&//g' >"$tmp/example.c"
	grep -q 'main(' "$tmp/example.c" || die "no program in EXAMPLES"
	"$cc" "$@" -Wall -Wextra -Werror -I"$includedir" -o "$tmp/example" \
	    "$tmp/example.c" "$library" -Wl,-rpath,"$(dirname "$library")" ||
	    die "the example does not compile"

	sock=$tmp/control
	"$server" "$sock" &
	server_pid=$!
	tries=0
	while [ ! -S "$sock" ]; do
		tries=$((tries + 1))
		[ $tries -le 100 ] || die "the server did not start"
		kill -0 "$server_pid" 2>/dev/null || die "the server ended"
		sleep 0.05
	done
	if ! timeout 10 "$tmp/example" "$sock"; then
		echo "the example failed against the server" >&2
		failed=1
	fi
}

stop_server() {
	if [ -n "$server_pid" ]; then
		kill "$server_pid" 2>/dev/null
		wait "$server_pid" 2>/dev/null
	fi
}

tmp=$(mktemp -d) || exit 1
server_pid=
trap 'stop_server; rm -rf "$tmp"' EXIT
trap 'exit 1' HUP INT TERM

failed=0
what=$1
[ $# -gt 0 ] && shift
case $what in
options)
	[ $# -eq 2 ] || die "usage: options PAGE DAEMON"
	check_options "$@" ;;
synopsis)
	[ $# -eq 3 ] || die "usage: synopsis PAGE HEADER LINKDIR"
	check_synopsis "$@" ;;
example)
	[ $# -ge 5 ] || die "usage: example PAGE INCLUDEDIR LIBRARY SERVER CC [CFLAGS...]"
	check_example "$@" ;;
*)
	die "usage: pages-match.sh options|synopsis|example ..." ;;
esac
exit $failed
