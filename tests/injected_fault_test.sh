#!/usr/bin/env bash
# Read and write errors injected into the real program with strace, part way
# through a file of several blocks: the run must fail with the right message,
# after writing exactly a prefix of the full conversion.
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

# inject SYSCALL ERROR WHEN [STRACE_OPTION...]: runs the program on input
# with the WHEN-th call of SYSCALL failing with ERROR. (A sanitizer build's
# leak checker cannot run under ptrace.)
inject() {
    ASAN_OPTIONS=detect_leaks=0 PATH=$PWD/bin:$PATH strace -o /dev/null "${@:4}" -e trace="$1" -e inject="$1:error=$2:when=$3" \
        rowpatcher "$PWD/input" >out 2>err
    echo $? >status
}

inject read EIO 3 -P "$PWD/input"
expect_partial "a read error in mid-file" "rowpatcher: error reading input file $PWD/input.  Abort."

inject write,writev ENOSPC 2
expect_partial "a write error after some output" "rowpatcher: error writing output.  Abort."

# Some file systems report a failed write only when the file is closed.
inject close EIO 1 -P "$PWD/out"
expect "a failed close of standard output" 1 $'rowpatcher: error writing output.  Abort.\n' full

finish
