#!/usr/bin/env bash
# Runs the built program as users do and checks its standard output,
# standard error and exit status byte for byte.
# Usage: command_line_test.sh PROGRAM EXAMPLES_DIR
set -u
program=$(realpath "$1")
examples=$(realpath "$2")
source "$(dirname "$(realpath "$0")")/test_helpers.sh"

usage=$'Usage: rowpatcher <inputfile>\n'
name132=$(printf 'n%.0s' {1..132})
name133=${name132}n
: >"$name132"
: >"$name133"
: >empty
mkdir directory

run;                  expect "no argument" 1 "$usage" /dev/null
run a b;              expect "two arguments" 1 "$usage" /dev/null
run "$name133";       expect "133-character name, even if it exists" 1 $'rowpatcher: filename too long.  Abort.\n' /dev/null
run "$name132";       expect "132-character name is opened" 0 "" /dev/null
run "${name132%n}x";  expect "132-character name, missing" 1 "rowpatcher: cannot open input file ${name132%n}x.  Abort."$'\n' /dev/null
run "";               expect "empty name" 1 $'rowpatcher: cannot open input file .  Abort.\n' /dev/null
run -h;               expect "-h is a file name" 1 $'rowpatcher: cannot open input file -h.  Abort.\n' /dev/null
run "%s%n";           expect "percent in the name is text" 1 $'rowpatcher: cannot open input file %s%n.  Abort.\n' /dev/null
run directory;        expect "directory" 1 $'rowpatcher: error reading input file directory.  Abort.\n' /dev/null
run empty;            expect "empty file" 0 "" /dev/null
run "$examples/catalogue.txt"
expect "example catalogue" 0 "" "$examples/catalogue.expected"
run /dev/stdin <"$examples/catalogue.txt"
expect "/dev/stdin from a file" 0 "" "$examples/catalogue.expected"
cat "$examples/catalogue.txt" | run /dev/stdin
expect "/dev/stdin from a pipe" 0 "" "$examples/catalogue.expected"

(exec -a rowpatcher "$program" "$examples/catalogue.txt") >/dev/full 2>err
echo $? >status
: >out
expect "output to /dev/full" 1 $'rowpatcher: error writing output.  Abort.\n' /dev/null

# A reader that goes away ends the program by SIGPIPE, silently.
repeat_catalogue 2000 >big
(exec -a rowpatcher "$program" big) 2>err | head -c 100 >/dev/null
echo "${PIPESTATUS[0]}" >status
: >out
expect "a closed pipe ends the run by SIGPIPE" 141 "" /dev/null

finish
