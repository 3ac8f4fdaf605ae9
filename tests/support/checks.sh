# What the shell suites share: checks that count their failures, a wait
# with a deadline rather than a fixed sleep, and the closing line. Source it.
failures=0
check() {  # check DESCRIPTION COMMAND...; fails as the command does
    if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); return 1; fi
}
wait_until() {  # wait_until SECONDS COMMAND...
    local _
    for _ in $(seq $(($1 * 10))); do
        "${@:2}" && return 0
        sleep 0.1
    done
    return 1
}
report_and_end() {
    echo "$((failures == 0 ? 1 : 0)) passed, $((failures > 0 ? 1 : 0)) failed"
    [ "$failures" -eq 0 ]
}
