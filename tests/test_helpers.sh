# Shared by the shell tests: run the program, check a run byte for byte.
# Sourced with $program set; leaves the caller in a fresh working folder.

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0

# Runs the program under the invocation name "rowpatcher"; standard input
# comes from the caller.
run() {
    (exec -a rowpatcher "$program" "$@") >out 2>err
    echo $? >status
}

# expect NAME STATUS STDERR STDOUT_FILE: checks the last run.
expect() {
    printf '%s' "$3" >want_err
    local problems=""
    [[ $(<status) == "$2" ]] || problems+=" status $(<status) (want $2);"
    cmp -s err want_err || problems+=" stderr '$(<err)';"
    cmp -s out "$4" || problems+=" stdout differs;"
    report "$1" "$problems"
}

# repeat_catalogue COUNT: writes the example catalogue COUNT times, with a
# blank line after each copy (needs $examples).
repeat_catalogue() {
    local i
    for ((i = 0; i < $1; i++)); do
        cat "$examples/catalogue.txt"
        echo
    done
}

# report NAME PROBLEMS: an empty PROBLEMS is a pass.
report() {
    if [[ -n $2 ]]; then
        echo "FAIL: $1:$2"
        failures=$((failures + 1))
    else
        echo "ok: $1"
    fi
}

# holds NAME COMMAND...: passes when COMMAND succeeds.
holds() {
    if "${@:2}"; then
        report "$1" ""
    else
        report "$1" " it does not;"
    fi
}

finish() {
    echo "$failures failed"
    [[ $failures -eq 0 ]]
}
