#!/usr/bin/env bash
# Runs the Windows program under wine as a Windows user would, through cmd,
# so that cmd's own redirections hand it real Windows file handles, and
# checks standard output, standard error (its CRLF line ending aside) and
# the exit status byte for byte.
# Usage: windows_test.sh PROGRAM.exe EXAMPLES_DIR
set -u
program=$(realpath "$1")
examples=$(realpath "$2")
source "$(dirname "$(realpath "$0")")/test_helpers.sh"

needs wine || { finish; exit; }
# Names outside ASCII reach wine as UTF-8.
export LC_ALL=C.UTF-8 WINEDEBUG=-all
cp "$program" rowpatcher.exe
cp "$examples/catalogue.txt" catalogue.txt

# win COMMAND_LINE: runs COMMAND_LINE under cmd in this folder; it redirects
# the program's output itself.
win() {
    wine cmd /c "$1" </dev/null
    echo $? >status
    [[ -f err ]] && tr -d '\r' <err >err.text && mv err.text err
}

win "rowpatcher catalogue.txt >out 2>err"
expect "the example" 0 "" "$examples/catalogue.expected"

usage=$'Usage: rowpatcher <inputfile>\n'
name133=$(printf 'n%.0s' {1..133})
win "rowpatcher >out 2>err"
expect "no argument" 1 "$usage" /dev/null
win "rowpatcher a b >out 2>err"
expect "two arguments" 1 "$usage" /dev/null
win "rowpatcher $name133 >out 2>err"
expect "a 133-character name" 1 $'rowpatcher: filename too long.  Abort.\n' /dev/null
win "rowpatcher no-such-file.txt >out 2>err"
expect "a missing file" 1 $'rowpatcher: cannot open input file no-such-file.txt.  Abort.\n' /dev/null
mkdir folder
win "rowpatcher folder >out 2>err"
expect "a folder" 1 $'rowpatcher: error reading input file folder.  Abort.\n' /dev/null

# CR, Ctrl-Z (0x1A) and NUL are data: nothing ends the file early, nothing
# is added or dropped.
record='2024/03/15 0412 33.45  45.123S 123.456W     xAB 4.5 mb Fiji'
converted='2024/03/15_0412 33.45 -45.123 -123.456   33 AB  4.5 mb Fiji'
printf '%s\r\n\x1a heading\r\n%s\x1a\0 tail\n%s' "$record" "$record" "$record" >control.txt
printf '%s\r\n%s\x1a\0 tail\n%s' "$converted" "$converted" "$converted" >control.expected
win "rowpatcher control.txt >out 2>err"
expect "CR, Ctrl-Z and NUL bytes pass through" 0 "" control.expected

cp control.txt 数据.txt
win "rowpatcher 数据.txt >out 2>err"
expect "a file name outside the ANSI code page" 0 "" control.expected
win "rowpatcher 无.txt >out 2>err"
expect "a missing file named outside the ANSI code page" 1 $'rowpatcher: cannot open input file 无.txt.  Abort.\n' /dev/null

# The limit counts the name's UTF-8 bytes, and the name a message gives for
# the program is whole, however long its path.
name132=$(printf '数%.0s' {1..44})
win "rowpatcher $name132 >out 2>err"
expect "a name of 132 UTF-8 bytes (44 characters)" 1 "rowpatcher: cannot open input file $name132.  Abort."$'\n' /dev/null
win "rowpatcher ${name132}数 >out 2>err"
expect "a name of 135 UTF-8 bytes (45 characters)" 1 $'rowpatcher: filename too long.  Abort.\n' /dev/null
folder=$(printf 'folder-%.0s' {1..20})数据
mkdir "$folder"
cp rowpatcher.exe "$folder/"
win "$folder\\rowpatcher $name132 >out 2>err"
expect "a program path of over 132 bytes" 1 "$folder\\rowpatcher: cannot open input file $name132.  Abort."$'\n' /dev/null

# The input is never the output: the file stays as it was (cmd's > has
# already emptied it).
self_output=$'rowpatcher: input file catalogue.txt is the output file.  Abort.\n'
win "rowpatcher catalogue.txt >>catalogue.txt 2>err"
cp catalogue.txt out
expect "appending to the input file" 1 "$self_output" "$examples/catalogue.txt"
cp catalogue.txt other.txt
win "rowpatcher catalogue.txt >other.txt 2>err"
cp other.txt out
expect "writing over another file" 0 "" "$examples/catalogue.expected"
win "rowpatcher catalogue.txt >catalogue.txt 2>err"
cp catalogue.txt out
expect "writing over the input file" 1 "$self_output" /dev/null

finish
