#!/bin/sh
# options_test.sh source page: checks that a manual page documents exactly the options that
# the program's getopt call accepts, in its SYNOPSIS and in its list of options, each with
# an argument where the program wants one. A program without a getopt call has no options,
# and its page must show none.
set -eu

if [ $# -ne 2 ]; then
	echo "usage: options_test.sh source page" >&2
	exit 2
fi
src=$1
page=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# From the source: the last string literal of the line that calls getopt, less the prefix
# that asks for a stopping or permuting parser. Each letter is a flag, or takes an argument
# when a colon follows it.
awk '
/(^|[^a-z_])getopt[ \t]*\(/ {
	s = $0
	last = ""
	while (match(s, /"[^"]*"/)) {
		last = substr(s, RSTART + 1, RLENGTH - 2)
		s = substr(s, RSTART + RLENGTH)
	}
	sub(/^[+-]+/, "", last)
	for (i = 1; i <= length(last); i++) {
		c = substr(last, i, 1)
		if (c == ":")
			continue
		print c, (substr(last, i + 1, 1) == ":" ? "argument" : "flag")
	}
	calls++
}
END {
	if (calls > 1) {
		print "more than one getopt call" > "/dev/stderr"
		exit 1
	}
}' "$src" | sort >"$work/source"

# From the page: every Fl in the SYNOPSIS, and every item of the form ".It Fl x". A group
# of letters (Fl ai) is a set of flags; a single letter followed by Ar takes an argument.
pageOptions()
{
	awk -v part="$1" '
	/^\.Sh / {
		synopsis = $0 == ".Sh SYNOPSIS"
		next
	}
	/^\./ {
		if (part == "synopsis" && !synopsis)
			next
		if (part == "list" && !($1 == ".It" && $2 == "Fl"))
			next
		for (i = 1; i < NF; i++) {
			if ($i != "Fl" && $i != ".Fl")
				continue
			letters = $(i + 1)
			if (length(letters) == 1) {
				print letters, ($(i + 2) == "Ar" ? "argument" : "flag")
				continue
			}
			for (j = 1; j <= length(letters); j++)
				print substr(letters, j, 1), "flag"
		}
	}' "$page" | sort -u
}
pageOptions synopsis >"$work/synopsis"
pageOptions list >"$work/list"

status=0
for part in synopsis list; do
	if ! diff -u "$work/source" "$work/$part" >"$work/diff"; then
		echo "$page: the options of its $part differ from those of $src" \
		    "(- the program's, + the page's):" >&2
		sed '1,2d' "$work/diff" >&2
		status=1
	fi
done
if [ "$status" -eq 0 ]; then
	echo "$page: $(wc -l <"$work/source" | tr -d ' ') options, as in $src"
fi
exit "$status"
