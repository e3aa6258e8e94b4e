#!/usr/bin/env bash
# Read and write errors injected into the real program with strace, part way
# through a file of several blocks: the run must fail with the right message,
# after writing exactly a prefix of the full conversion; and, from the same
# trace, where the program reads its blocks. PROGRAM is the native program or
# a script that runs the same conversion (python -m rowpatcher, the npm
# package's command), traced with its interpreter; the faults are injected
# only into the calls on the input or the output file, not into an
# interpreter's own.
# Usage: injected_fault_test.sh PROGRAM EXAMPLES_DIR
set -u
program=$(realpath "$1")
examples=$(realpath "$2")
source "$(dirname "$(realpath "$0")")/test_helpers.sh"

if needs strace && ! strace -o /dev/null true 2>/dev/null; then
    skip "strace cannot trace here"
fi
((skipped == 0)) || { finish; exit; }
mkdir bin
ln -s "$program" bin/rowpatcher # so that the invocation name is "rowpatcher"

# About 2 MiB of records with headings between them: several blocks.
repeat_catalogue 1024 >input
run input
cp out full
[[ -s full ]] || report "setup: the input converts to something" " no output;"

# expect_partial NAME MESSAGE: the last run failed with MESSAGE after
# writing a non-empty proper prefix of the full conversion.
expect_partial() {
    local problems="" size
    size=$(wc -c <out)
    [[ $(<status) == 1 ]] || problems+=" status $(<status) (want 1);"
    [[ $(<err) == "$2" ]] || problems+=" stderr '$(<err)';"
    if ((size == 0)) || ((size >= $(wc -c <full))) || ! cmp -s out <(head -c "$size" full); then
        problems+=" output is not a proper prefix of the conversion ($size bytes);"
    fi
    report "$1" "$problems"
}

# inject FILE SYSCALL ERROR WHEN [STRACE_OPTION...]: runs the program on FILE
# with the WHEN-th call of SYSCALL failing with ERROR. (A sanitizer build's
# leak checker cannot run under ptrace.)
inject() {
    ASAN_OPTIONS=detect_leaks=0 PATH=$PWD/bin:$PATH strace -o /dev/null "${@:5}" -e trace="$2" -e inject="$2:error=$3:when=$4" \
        rowpatcher "$PWD/$1" >out 2>err
    echo $? >status
}

inject input read,readv EIO 3 -P "$PWD/input"
expect_partial "a read error in mid-file" "rowpatcher: error reading input file $PWD/input.  Abort."

inject input write,writev ENOSPC 2 -P "$PWD/out"
expect_partial "a write error after some output" "rowpatcher: error writing output.  Abort."

# A write that takes nothing, from the second on, is a failure, not a loop
# (the timeout ends a run that spins).
inject_value() {
    ASAN_OPTIONS=detect_leaks=0 PATH=$PWD/bin:$PATH timeout 20 strace -o /dev/null -P "$PWD/out" \
        -e trace="$2" -e inject="$2:retval=$3:when=$4" rowpatcher "$PWD/$1" >out 2>err
    echo $? >status
}
inject_value input write,writev 0 2+
expect_partial "writes that take nothing" "rowpatcher: error writing output.  Abort."

# A block of more runs than one gather write takes: once the first write
# has failed, nothing more is written.
record=$(grep -m 1 "^..../../" "$examples/catalogue.txt")
for ((i = 0; i < 3000; i++)); do printf '%s\nheading\n' "$record"; done >pairs
inject pairs write,writev ENOSPC 1 -P "$PWD/out"
expect "a failed first write of a block of 3000 runs" 1 $'rowpatcher: error writing output.  Abort.\n' /dev/null

# Some file systems report a failed write only when the file is closed.
inject input close EIO 1 -P "$PWD/out"
expect "a failed close of standard output" 1 $'rowpatcher: error writing output.  Abort.\n' full

# Every block of a file is read into the middle of a page, whatever head of
# a line comes before it: a destination that starts a few bytes past the
# source's offset in its page (the cache's pages start on a boundary) slows
# the system's copy threefold on x86-64. Offsets within 4 KiB, where the
# processor compares addresses.
ASAN_OPTIONS=detect_leaks=0 strace -o trace -e trace=read -e raw=read -P "$PWD/input" "$program" input >/dev/null
offsets=$(sed -n 's/^read(0x[0-9a-f]*, 0x\([0-9a-f]*\), 0x[0-9a-f]*) *= *0x[1-9a-f].*/\1/p' trace |
    while read -r address; do echo $((0x$address % 4096)); done | sort -nu | tr '\n' ' ')
problems=""
(($(wc -w <<<"$offsets") > 1)) || problems+=" reads of the input were not traced (offsets '$offsets');"
for offset in $offsets; do
    ((offset >= 64 && offset <= 4096 - 64)) || problems+=" a block read at $offset bytes into a page;"
done
report "blocks are read far from the start of a page (at: $offsets)" "$problems"

finish
