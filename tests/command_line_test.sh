#!/usr/bin/env bash
# Runs the built program as users do and checks its standard output,
# standard error and exit status byte for byte. PROGRAM is the native program
# or a script that runs the same conversion: the npm package's command (in
# Node.js) or the Python package's (python -m rowpatcher).
# Usage: command_line_test.sh PROGRAM EXAMPLES_DIR
set -u
program=$(realpath "$1")
examples=$(realpath "$2")
[[ $(head -c 2 "$program") == "#!" ]] && script=yes || script=no
[[ $(head -n 1 "$program") == *node* ]] && node=yes || node=no
# AddressSanitizer's shadow memory needs terabytes of address space: under a
# limit on it, a program built with it (or an interpreter that preloads its
# runtime) cannot start.
grep -aqs -e __asan_init -e 'libclang_rt\.asan' -e 'libasan\.so' "$program" && sanitized=yes || sanitized=no
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
# A name is bytes, whatever the locale: one in Latin-1 (not UTF-8) is opened,
# and named byte for byte; its 50 bytes are 50, not the 150 of their
# replacement characters.
latin1=$'catalogue-\xe9t\xe9.txt'
cp "$examples/catalogue.txt" "$latin1"
run "$latin1";        expect "a Latin-1 name is opened" 0 "" "$examples/catalogue.expected"
latin1_50=$(printf '\xe9%.0s' {1..50})
run "$latin1_50";     expect "a 50-byte Latin-1 name, missing, named as given" 1 "rowpatcher: cannot open input file $latin1_50.  Abort."$'\n' /dev/null
# A message is never cut short, however long the name it was invoked by (a
# script's messages always say "rowpatcher"): a name longer than the 1 KiB
# message buffer, and one shorter whose message is longer.
if [[ $script == no ]]; then
    for invoked in "/$(printf 'long-folder-name/%.0s' {1..600})rowpatcher" "/$(printf 'n%.0s' {1..989})/rowpatcher"; do
        (exec -a "$invoked" "$program" "${name132%n}x") >out 2>err
        echo $? >status
        expect "a ${#invoked}-byte invocation name, printed whole" 1 \
            "$invoked: cannot open input file ${name132%n}x.  Abort."$'\n' /dev/null
    done
else
    echo "not run: the invocation name in messages (a script always calls itself rowpatcher)"
fi
run empty;            expect "empty file" 0 "" /dev/null
run "$examples/catalogue.txt"
expect "example catalogue" 0 "" "$examples/catalogue.expected"
run "$examples/catalogue.txt" <&-
expect "standard input closed: the file opens as descriptor 0" 0 "" "$examples/catalogue.expected"
run /dev/stdin <"$examples/catalogue.txt"
expect "/dev/stdin from a file" 0 "" "$examples/catalogue.expected"
cat "$examples/catalogue.txt" | run /dev/stdin
expect "/dev/stdin from a pipe" 0 "" "$examples/catalogue.expected"

# The input file is never also the output, however the shell made it so:
# each run refuses and leaves the file as it was (a truncated one stays
# empty). Standard output closed is no such case: writing to it fails.
cp "$examples/catalogue.txt" catalogue.txt
ln catalogue.txt hard_link.txt
self_output() { echo "rowpatcher: input file $1 is the output file.  Abort."; }
# A program that feeds on its own output stops at 1 MiB.
run_on_itself() {
    (ulimit -f 1024 && exec -a rowpatcher "$program" "$@") 2>err
    echo $? >status
    cp catalogue.txt out
}
run_on_itself catalogue.txt >>catalogue.txt
expect "appending to the input file" 1 "$(self_output catalogue.txt)"$'\n' "$examples/catalogue.txt"
run_on_itself catalogue.txt 1<>catalogue.txt
expect "the input file open read-write as output" 1 "$(self_output catalogue.txt)"$'\n' "$examples/catalogue.txt"
run_on_itself /dev/stdin <catalogue.txt >>catalogue.txt
expect "/dev/stdin from the file, appending to it" 1 "$(self_output /dev/stdin)"$'\n' "$examples/catalogue.txt"
run_on_itself hard_link.txt >>catalogue.txt
expect "a hard link of the output file" 1 "$(self_output hard_link.txt)"$'\n' "$examples/catalogue.txt"
# Node.js puts /dev/null, open for reading and writing, in place of a closed
# standard output before a script starts; its command tells where the system
# shows a descriptor's flags (/proc/self/fdinfo).
if [[ $node == no || -r /proc/self/fdinfo/1 ]]; then
    run_on_itself catalogue.txt >&-
    expect "standard output closed" 1 $'rowpatcher: error writing output.  Abort.\n' "$examples/catalogue.txt"
else
    echo "not run: standard output closed (Node.js opens /dev/null in its place, and this system does not show its flags)"
fi
grep -v / "$examples/catalogue.txt" >headings
(exec -a rowpatcher "$program" headings) >&- 2>err
echo $? >status
: >out
expect "standard output closed, nothing to write" 0 "" /dev/null
run_on_itself catalogue.txt >catalogue.txt
expect "truncating the input file" 1 "$(self_output catalogue.txt)"$'\n' /dev/null
echo "a line before" >out
(exec -a rowpatcher "$program" "$examples/catalogue.txt") >>out 2>err
echo $? >status
{ echo "a line before"; cat "$examples/catalogue.expected"; } >appended
expect "appending to another file" 0 "" appended

# Past 4 GiB, on 32-bit systems too: a record, a sparse line of zero bytes,
# a record. Both records convert, and appending onto the file is refused.
record=$(grep -m 1 "^..../../" "$examples/catalogue.txt")
converted=$(grep -m 1 / "$examples/catalogue.expected")
printf '%s\n' "$record" >sparse
truncate -s 4500M sparse
printf '\n%s\n' "$record" >>sparse
printf '%s\n%s\n' "$converted" "$converted" >sparse.expected
tail -c 200 sparse >sparse.tail
size=$(wc -c <sparse)
run sparse
expect "a sparse 4.5 GiB file" 0 "" sparse.expected
(ulimit -f 1024 && exec -a rowpatcher "$program" sparse) >>sparse 2>err
echo $? >status
: >out
expect "appending to a 4.5 GiB input file" 1 "$(self_output sparse)"$'\n' /dev/null
holds "the 4.5 GiB file is unchanged" test "$(wc -c <sparse)" = "$size"
holds "the 4.5 GiB file ends as before" cmp -s <(tail -c 200 sparse) sparse.tail
rm sparse

(exec -a rowpatcher "$program" "$examples/catalogue.txt") >/dev/full 2>err
echo $? >status
: >out
expect "output to /dev/full" 1 $'rowpatcher: error writing output.  Abort.\n' /dev/null

# A reader that goes away ends the program by SIGPIPE, silently: the
# process dies of the signal, as a parent that waits for it sees (a shell's
# status 141 is also what an exit(141) gives).
repeat_catalogue 2000 >big
ended_how big 2>err | head -c 100 >/dev/null
: >out
expect "a closed pipe ends the run by SIGPIPE" "signal 13" "" /dev/null

# Ctrl-C ends the run by SIGINT, silently, as it ends other filters: here
# while it waits on a FIFO whose writer is slow.
mkfifo slow_fifo
{ sleep 30 >slow_fifo & } 2>/dev/null
writer=$!
timeout --preserve-status -s INT 1.5 bash -c 'exec -a rowpatcher "$0" slow_fifo' "$program" >out 2>err
echo $? >status
kill "$writer" 2>/dev/null
expect "SIGINT ends the run by SIGINT, silently" 130 "" /dev/null
# Started with interrupts ignored, as a background job of a shell is, it
# goes on (Node.js resets every signal to its default as it starts).
if [[ $node == no ]]; then
    { sleep 2 >slow_fifo & } 2>/dev/null
    writer=$!
    bash -c 'trap "" INT; exec -a rowpatcher "$0" slow_fifo' "$program" >out 2>err &
    running=$!
    sleep 1
    kill -INT "$running"
    wait "$running"
    echo $? >status
    wait "$writer"
    expect "SIGINT ignored from the start is ignored" 0 "" /dev/null
else
    echo "not run: SIGINT ignored from the start (Node.js resets it to its default)"
fi

# Output past the file-size limit ends the run by SIGXFSZ, as it ends other
# programs; the output holds what fitted.
(ulimit -f 100 && ended_how big) >out 2>err
"$program" big 2>/dev/null | head -c $((100 * 1024)) >within_limit
expect "output past ulimit -f ends the run by SIGXFSZ" "signal 25" "" within_limit

# SIGUSR1 ends the run, as its default does (Node.js would start its
# debugger and go on).
{ sleep 5 >slow_fifo & } 2>/dev/null
writer=$!
SEND=USR1 ended_how slow_fifo >out 2>err
kill "$writer" 2>/dev/null
expect "SIGUSR1 ends the run by SIGUSR1" "signal 10" "" /dev/null

# Little address space: 16 GB holds the program, an interpreter, or Node.js
# with one converter (its WebAssembly memory reserves 10 GiB); under 8 GB the
# Node.js command has none, and says so in one line.
if [[ $sanitized == no ]]; then
    (ulimit -v 16000000 && exec -a rowpatcher "$program" "$examples/catalogue.txt") >out 2>err
    echo $? >status
    expect "ulimit -v 16000000" 0 "" "$examples/catalogue.expected"
    (ulimit -v 8000000 && exec -a rowpatcher "$program" "$examples/catalogue.txt") >out 2>err
    echo $? >status
    if [[ $node == no ]]; then
        expect "ulimit -v 8000000" 0 "" "$examples/catalogue.expected"
    else
        expect "ulimit -v 8000000: no room for the converter" 1 \
            $'rowpatcher: cannot allocate memory for the converter.  Abort.\n' /dev/null
    fi
else
    echo "not run: ulimit -v (AddressSanitizer needs more address space)"
fi

finish
