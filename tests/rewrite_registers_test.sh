#!/usr/bin/env bash
# Checks, from the compiler's own assembly, that the block loop keeps its
# vectors in registers: inside its loops, BlockConverter::convert writes
# nothing to the stack, so that no record builds a constant in memory and
# loads it back (a store-forwarding stall for every record). Outside them,
# the prologue may save registers.
# A WebAssembly function must keep no frame in linear memory at all. Timing
# plays no part: the compiler's output is the evidence.
#
# Usage: rewrite_registers_test.sh SOURCE_DIR COMPILE_COMMANDS_JSON
#            every command of the build that compiles src/block_converter.cpp
#        rewrite_registers_test.sh SOURCE_DIR --every-compiler
#            the table below: each compiler that builds a download, for each
#            processor, with the flags it is built with (for CI, which
#            installs them all; Zig is taken from $zig, as setup_zig sets it)
set -u
source_dir=$(realpath "$1")
mode=$2
[[ $mode == --every-compiler ]] || mode=$(realpath "$mode")
source "$(dirname "$(realpath "$0")")/test_helpers.sh"

# stack_stores: reads assembly (GNU syntax: AT&T for x86, or AArch64, or
# WebAssembly's text) and prints each instruction of a function that writes
# to the stack inside a loop (through the stack pointer, the frame pointer or
# any register the function sets to an address on the stack), and for
# WebAssembly each use of the stack pointer. Whatever the layout, every
# instruction of a loop lies between a branch back up and its target, since
# the loop's way back to its lowest instruction crosses it; whatever lies
# outside all such spans runs at most once a call. Prints "no function" if
# the function (FUNCTION, a regular expression for its label) is not there.
# Usage: stack_stores FUNCTION <ASSEMBLY
stack_stores() {
    awk -v function_label="^_?$1:" '
    function record(text) { found = found "\n    " text }
    BEGIN { stack["rsp"] = stack["esp"] = stack["sp"] = stack["x29"] = 1 }
    $0 ~ function_label { inside = 1; seen = 1; next }
    !inside { next }
    /^[ \t]*(\.cfi_endproc|\.seh_endproc|end_function|\.size[ \t])|-- End function/ { inside = 0; next }
    /^[^ \t#;\/][^ \t]*:/ { label[substr($1, 1, length($1) - 1)] = ++count; next }
    /^[ \t]+[a-z]/ {
        line = $0
        sub(/^[ \t]+/, "", line)
        sub(/[ \t]+(#[ \t]|\/\/|;).*$/, "", line) # comments; an AArch64 "#16" is a number
        text[++count] = line
        n = split(line, words, /[^A-Za-z0-9_.$]+/)
        for (i = 1; i <= n; ++i) {
            if ((words[i] in label) && label[words[i]] < count) {
                for (k = label[words[i]]; k <= count; ++k) { looped[k] = 1 }
            }
        }
        if (line ~ /__stack_pointer/) { record(line) }
        # A register set to an address on the stack: AT&T "lea N(%rsp), %rax"
        # or "mov %rsp, %rbp"; AArch64 "add x8, sp, 16" or "mov x29, sp".
        if (line ~ /^(lea[a-z]*[ \t].*\(%[re]sp[^)]*\)|mov[a-z]*[ \t]+%[re]sp),[ \t]*%[a-z0-9]+$/) {
            register = line
            sub(/^.*%/, "", register)
            stack[register] = 1
        } else if (line ~ /^(add|sub|mov)[ \t]+x[0-9]+,[ \t]*sp([, \t]|$)/) {
            register = line
            sub(/^[a-z]+[ \t]+/, "", register)
            sub(/,.*$/, "", register)
            stack[register] = 1
        }
    }
    END {
        if (!seen) { print "no function"; exit }
        for (i = 1; i <= count; ++i) {
            if (!(i in text) || !(i in looped)) { continue }
            line = text[i]
            mnemonic = line
            sub(/[ \t].*$/, "", mnemonic)
            operands = substr(line, length(mnemonic) + 1)
            base = ""
            if (operands ~ /%/) {
                # AT&T: the destination is the last operand; these write none.
                if (mnemonic !~ /^(cmp|test|ucomi|comi|bt|prefetch|j|call|push|pop)/ &&
                    match(operands, /\(%[a-z0-9]+[^)]*\)[ \t]*$/)) {
                    base = substr(operands, RSTART + 2)
                }
            } else if (mnemonic ~ /^st/ && match(operands, /\[[a-z0-9]+/)) {
                base = substr(operands, RSTART + 1) # AArch64: the address register
            }
            sub(/[^a-z0-9].*$/, "", base)
            if (base in stack) { record(line) }
        }
        printf "%s", substr(found, 2)
    }'
}

# The control: a loop that stores to the stack on every pass, which the
# check must see in each compiler's output, lest a form of assembly it
# does not read pass unseen.
cat >control.cpp <<'EOF'
#include <cstddef>
void keep(volatile char *bytes);
extern "C" void control(const char *from, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        volatile char local[16];
        local[from[i] & 15] = from[i];
        keep(local);
    }
}
EOF

# check NAME COMMAND...: COMMAND, its @SOURCE@ replaced by a source file,
# compiles it to assembly in out.s: the block loop, from block_converter.cpp,
# must store nothing to the stack in its loops, and the control's loop must
# be seen to.
check() {
    local name=$1 stores
    shift
    if ! "${@//@SOURCE@/$source_file}" >compile.log 2>&1 || ! mv -f out.s convert.s ||
        ! "${@//@SOURCE@/$PWD/control.cpp}" >>compile.log 2>&1 || ! mv -f out.s control.s; then
        report "$name" " it does not compile: $(head -n 20 compile.log)"
        return
    fi
    stores=$(stack_stores '_ZN14BlockConverter7convertE[jmy]' <convert.s)
    if [[ $stores == "no function" ]]; then
        report "$name" " BlockConverter::convert is not in its output"
    elif [[ -n $stores ]]; then
        report "$name" " writes to the stack in its loops:
$stores
"
    elif [[ -z $(stack_stores control <control.s) || $(stack_stores control <control.s) == "no function" ]]; then
        report "$name" " the control's store to the stack in its loop is not seen: the check cannot read this assembly"
    else
        report "$name" ""
    fi
}

source_file=$source_dir/src/block_converter.cpp
if [[ $mode != --every-compiler ]]; then
    # Each of the build's commands, its object replaced by assembly.
    commands=$(sed -n 's/^ *"command": "\(.*-c [^ ]*\/src\/block_converter\.cpp\)",\?$/\1/p' "$mode" |
        sed 's/\\"/"/g; s/\\\\/\\/g')
    directory=$(sed -n 's/^ *"directory": "\(.*\)",\?$/\1/p' "$mode" | head -n 1)
    [[ -n $commands ]] || report "the build compiles src/block_converter.cpp" " no command in $mode"
    while read -r command; do
        [[ -n $command ]] || continue
        target=$(sed -n 's/.* -o [^ ]*\/\([^/ ]*\)\.dir\/.*/\1/p' <<<"$command")
        command=$(sed 's| -o [^ ]* | -o '"$work"'/out.s |; s/ -c [^ ]*$/ -S -g0 @SOURCE@/' <<<"$command")
        check "this build: $target ($(cut -d' ' -f1 <<<"$command"))" bash -c "cd '$directory' && $command"
    done <<<"$commands"
    finish
    exit
fi

# The program's own flags, then a row for each compiler that builds a
# download, with the flags it is built with: NAME|COMMAND...
flags=(-std=c++20 -fno-exceptions -fno-rtti -D_FILE_OFFSET_BITS=64 -Wall -Wextra -Wpedantic -Werror
    -I"$source_dir/src" -g0 -S -o out.s @SOURCE@)
release="-O3 -DNDEBUG -fstack-protector-strong -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2" # CMake's Release, hardened
debian=""                                                                             # the .deb's: build type None
if needs dpkg-buildflags; then
    debian="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS) -fstack-protector-strong"
fi
rows=(
    "g++, CMake's Release|g++ $release"
    "clang++, CMake's Release|clang++ $release"
    "g++ for arm64, CMake's Release|aarch64-linux-gnu-g++ $release"
    "clang++ for arm64, CMake's Release|clang++ --target=aarch64-linux-gnu $release"
    "MinGW-w64 g++ for Windows x86-64 (the zip), CMake's Release|x86_64-w64-mingw32-g++-posix $release"
    # js/CMakeLists.txt's flags
    "clang++ for wasm32 with SIMD128 (the npm package)|clang++ --target=wasm32-wasi --sysroot=/usr -O2 -msimd128 -mbulk-memory"
)
[[ -z $debian ]] || rows+=("g++, Debian's flags (the .deb)|g++ $debian" "clang++, Debian's flags|clang++ $debian")
# Zig builds the static programs, the macOS and arm64 Windows ones and the
# wheels' module. Not i686: with eight vector and seven general registers it
# must spill in the loop, and its constants are loaded from the stack.
zig=${zig:-}
for target in "x86_64-linux-musl|static x86-64 program" "aarch64-linux-musl|static arm64 program" \
    "x86_64-macos|x86-64 macOS program" "aarch64-macos|arm64 macOS program" "aarch64-windows-gnu|arm64 Windows program" \
    "x86_64-linux-gnu.2.17 -fPIC|x86-64 wheel's module" "aarch64-linux-gnu.2.17 -fPIC|arm64 wheel's module"; do
    rows+=("Zig's clang, the ${target#*|}, CMake's Release|$zig c++ -target ${target%|*} $release")
done

for row in "${rows[@]}"; do
    name=${row%%|*}
    read -ra command <<<"${row#*|}"
    if [[ ${command[0]} == c++ ]]; then
        skip "$name: Zig is missing (zig=... names it; .ci/common.sh's setup_zig installs it)"
    elif needs "${command[0]}"; then
        check "$name" "${command[@]}" "${flags[@]}"
    fi
done
finish
