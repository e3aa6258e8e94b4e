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
size=$(stat -c %s "$catalogue")
for ((offset = 0; offset < size; offset += 37)); do
    tail -c +$((offset + 1)) "$catalogue" | head -c 37
    sleep 0.005
done | run /dev/stdin
expect "/dev/stdin fed slowly by a pipe" 0 "" "$expected"

# Peak resident memory in KiB of a run of the program.
peak_kib() {
    /usr/bin/time -f %M -o rss "$program" "$@" >out 2>err
    echo $? >status
    tail -n 1 rss
}

long=$((64 << 20))
record_head=$(grep -m 1 'Fiji' "$catalogue")
converted_head=$(grep -m 1 'Fiji' "$expected")
filler() { head -c $((long - ${#record_head})) /dev/zero | tr '\0' 'x'; }
{ printf '%s' "$record_head"; filler; } >long_record
{ printf '%s' "Remark: ${record_head:8}"; filler; } >long_remark
{ printf '%s' "$converted_head"; filler; } >long_record.expected
printf '%s\n' "$record_head" >short_record

if [[ ! -x /usr/bin/time ]]; then
    report "64 MiB lines: /usr/bin/time is missing (apt-get install time)" " not run;"
else
    small_kib=$(peak_kib short_record)
    record_kib=$(peak_kib long_record)
    expect "a 64 MiB record line without newline" 0 "" long_record.expected
    remark_kib=$(peak_kib long_remark)
    expect "a 64 MiB non-record line without newline" 0 "" /dev/null
    problems=""
    for kib in "$record_kib" "$remark_kib"; do
        ((kib - small_kib < 4096)) || problems+=" peak ${kib} KiB against ${small_kib} KiB for one short line;"
    done
    report "64 MiB lines stream in bounded memory" "$problems"
fi

finish
