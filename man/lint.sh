#!/bin/sh
# Checks manual pages the way a packager's tools would see them: mandoc's
# linter at warning level must print nothing, nor at style level apart from
# cross references to pages this machine lacks, and groff, with all its
# warnings on, must render each page without complaint.  Symbolic links are
# followed, so a dangling link page fails too.
#
# usage: lint.sh page ...
# Exits 0 when every page is clean, 1 when one is not, 77 (skipped) when
# mandoc or groff is missing.

for tool in mandoc groff; do
	if ! command -v "$tool" >/dev/null 2>&1; then
		echo "lint.sh: $tool not found" >&2
		exit 77
	fi
done
if [ $# -eq 0 ]; then
	echo "usage: lint.sh page ..." >&2
	exit 1
fi

# An empty manual path: whether a referenced page is installed here says
# nothing about the page under test.
nomanpath=$(mktemp -d) || exit 1
trap 'rmdir "$nomanpath"' EXIT
trap 'exit 1' HUP INT TERM

status=0
for page in "$@"; do
	if [ ! -r "$page" ]; then
		echo "$page: cannot read (dangling link?)" >&2
		status=1
		continue
	fi
	out=$(mandoc -T lint -W warning "$page" 2>&1)
	rc=$?
	if [ $rc -ne 0 ] || [ -n "$out" ]; then
		echo "$page: mandoc -T lint -W warning (exit $rc):" >&2
		printf '%s\n' "$out" >&2
		status=1
	fi
	out=$(MANPATH=$nomanpath mandoc -T lint -W style "$page" 2>&1 |
	    grep -v 'STYLE: referenced manual not found')
	if [ -n "$out" ]; then
		echo "$page: mandoc -T lint -W style:" >&2
		printf '%s\n' "$out" >&2
		status=1
	fi
	# -z: format without output; only the diagnostics on stderr matter.
	out=$(groff -ww -mandoc -Tutf8 -z "$page" 2>&1)
	rc=$?
	if [ $rc -ne 0 ] || [ -n "$out" ]; then
		echo "$page: groff -ww -mandoc (exit $rc):" >&2
		printf '%s\n' "$out" >&2
		status=1
	fi
done
exit $status
