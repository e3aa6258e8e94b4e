# Shared by the shell tests: run the program, check a run byte for byte.
# Sourced with $program set; leaves the caller in a fresh working folder.

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
skipped=0

# Runs the program under the invocation name "rowpatcher"; standard input
# comes from the caller.
run() {
    (exec -a rowpatcher "$program" "$@") >out 2>err
    echo $? >status
}

# ended_how ARGUMENT...: runs the program under the name "rowpatcher" and
# writes to the file status how it ended: "signal N", or its exit status.
# With SEND set to a signal's name, sends it that signal after 1.5 s.
ended_how() {
    perl -e 'my $pid = fork // die "fork: $!";
        if (!$pid) { exec { $ARGV[0] } "rowpatcher", @ARGV[1 .. $#ARGV]; die "exec: $!" }
        if ($ENV{SEND}) { select undef, undef, undef, 1.5; kill $ENV{SEND}, $pid }
        waitpid $pid, 0;
        open my $how, ">", "status" or die "status: $!";
        print $how (($? & 127) ? "signal " . ($? & 127) : $? >> 8), "\n";' "$program" "$@"
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
    local i copy
    copy=$(cat "$examples/catalogue.txt" && echo && echo .) # keeps the trailing newlines
    copy=${copy%.}
    for ((i = 0; i < $1; i++)); do
        printf '%s' "$copy"
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

# skip REASON: a part that could not run here. The run then ends with 77,
# which CTest shows as skipped, unless something failed.
skip() {
    echo "skipped: $1"
    skipped=$((skipped + 1))
}

# needs TOOL...: true when every TOOL (a command, or a path to one) is there;
# otherwise skips, naming the missing tool. ROWPATCHER_TEST_HIDE lists tools
# to treat as missing, so that skipping itself can be tested.
needs() {
    local tool
    for tool in "$@"; do
        if [[ " ${ROWPATCHER_TEST_HIDE:-} " == *" $tool "* ]] || ! command -v "$tool" >/dev/null; then
            skip "$tool is missing"
            return 1
        fi
    done
}

finish() {
    echo "$failures failed, $skipped skipped"
    ((failures == 0)) || return 1
    ((skipped == 0)) || return 77
}
