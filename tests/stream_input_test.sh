#!/usr/bin/env bash
# Inputs that are not plain files, or not plain sizes: a FIFO, a pipe that
# delivers a few bytes at a time, and single lines of 64 MiB, which must pass
# whole and in bounded memory.
# Usage: stream_input_test.sh PROGRAM EXAMPLES_DIR
set -u
program=$(realpath "$1")
examples=$(realpath "$2")
source "$(dirname "$(realpath "$0")")/test_helpers.sh"

catalogue=$examples/catalogue.txt
expected=$examples/catalogue.expected

mkfifo fifo
cat "$catalogue" >fifo &
run fifo
expect "a FIFO as input" 0 "" "$expected"
wait

# 37 bytes at a time, with a pause between pieces.
size=$(wc -c <"$catalogue")
for ((offset = 0; offset < size; offset += 37)); do
    tail -c +$((offset + 1)) "$catalogue" | head -c 37
    sleep 0.005
done | run /dev/stdin
expect "/dev/stdin fed slowly by a pipe" 0 "" "$expected"

long=$((64 << 20))
record_head=$(grep -m 1 'Fiji' "$catalogue")
converted_head=$(grep -m 1 'Fiji' "$expected")
filler() { head -c $((long - ${#record_head})) /dev/zero | tr '\0' 'x'; }
{ printf '%s' "$record_head"; filler; } >long_record
{ printf '%s' "Remark: ${record_head:8}"; filler; } >long_remark
{ printf '%s' "$converted_head"; filler; } >long_record.expected
printf '%s\n' "$record_head" >short_record

run long_record
expect "a 64 MiB record line without newline" 0 "" long_record.expected
run long_remark
expect "a 64 MiB non-record line without newline" 0 "" /dev/null

# Peak resident memory in KiB of a run of the program (GNU time's %M).
peak_kib() {
    /usr/bin/time -f %M -o rss "$program" "$@" >/dev/null 2>&1
    tail -n 1 rss
}

if needs /usr/bin/time; then
    if ! /usr/bin/time -f %M -o rss true 2>/dev/null; then
        skip "/usr/bin/time cannot report peak memory (-f %M)"
    else
        small_kib=$(peak_kib short_record)
        problems=""
        for input in long_record long_remark; do
            kib=$(peak_kib "$input")
            ((kib - small_kib < 4096)) || problems+=" $input: peak ${kib} KiB against ${small_kib} KiB for one short line;"
        done
        report "64 MiB lines stream in bounded memory" "$problems"
    fi
fi

finish
