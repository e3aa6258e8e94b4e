#!/usr/bin/env bash
# Checks that the built program is hardened: position-independent, full
# RELRO, stack protector, and its sources compiled with fortified libc calls
# (which only show in the binary where a call has a buffer of known size).
# Usage: hardening_test.sh PROGRAM COMPILE_COMMANDS_JSON
set -u
program=$1
compile_commands=$2
failures=0

check() { # check NAME PATTERN COMMAND...
    if "${@:3}" | grep -q -E "$2"; then
        echo "ok: $1"
    else
        echo "FAIL: $1: no match for '$2' in '${*:3}'"
        failures=$((failures + 1))
    fi
}

check "position-independent executable" 'Type: +DYN' readelf -hW "$program"
check "PIE flag" 'FLAGS_1.*PIE' readelf -dW "$program"
check "RELRO segment" 'GNU_RELRO' readelf -lW "$program"
check "bound at load time (full RELRO)" 'BIND_NOW|FLAGS_1.*NOW' readelf -dW "$program"
check "stack protector" '__stack_chk_fail' readelf -sW --dyn-syms "$program"
check "compiled with _FORTIFY_SOURCE=2 and optimisation" '"command".*-O[1-3s].*-D_FORTIFY_SOURCE=2.*/src/rowpatcher\.cpp' \
    cat "$compile_commands"

echo "$failures failed"
[[ $failures -eq 0 ]]
