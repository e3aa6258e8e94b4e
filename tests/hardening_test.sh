#!/usr/bin/env bash
# Checks that the built program is hardened: position-independent, full
# RELRO, stack protector, and its sources compiled with fortified libc calls
# (which only show in the binary where a call has a buffer of known size).
# The binary checks apply to ELF programs only.
# Usage: hardening_test.sh PROGRAM COMPILE_COMMANDS_JSON
set -u
program=$(realpath "$1")
compile_commands=$(realpath "$2")
source "$(dirname "$(realpath "$0")")/test_helpers.sh"

# check NAME PATTERN COMMAND...: COMMAND's output matches PATTERN.
check() {
    if "${@:3}" | grep -q -E "$2"; then
        report "$1" ""
    else
        report "$1" " no match for '$2' in '${*:3}'"
    fi
}

check "compiled with _FORTIFY_SOURCE=2 and optimisation" '"command".*-O[1-3s].*-D_FORTIFY_SOURCE=2.*/src/rowpatcher\.cpp' \
    cat "$compile_commands"

if [[ $(head -c 4 "$program") != $'\x7fELF' ]]; then
    skip "not an ELF program: position independence and RELRO not checked"
elif needs readelf; then
    check "position-independent executable" 'Type: +DYN' readelf -hW "$program"
    check "PIE flag" 'FLAGS_1.*PIE' readelf -dW "$program"
    check "RELRO segment" 'GNU_RELRO' readelf -lW "$program"
    check "bound at load time (full RELRO)" 'BIND_NOW|FLAGS_1.*NOW' readelf -dW "$program"
    check "stack protector" '__stack_chk_fail' readelf -sW --dyn-syms "$program"
fi

finish
