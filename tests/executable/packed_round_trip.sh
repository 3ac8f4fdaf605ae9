#!/usr/bin/env bash
# The packer on more than mirrorfold: a small program that reports what its
# process was given runs the same packed as plain. A packed file whose
# stream or check value is damaged runs nothing: one line, status 127; nor
# does one whose image does not fit under a file-size limit. And what the
# packer cannot pack, or cannot write, it refuses.
#
#   packed_round_trip.sh REPORT PACKED_REPORT PACKED_MIRRORFOLD PACK_EXECUTABLE
set -uo pipefail
report=$1 packed_report=$2 packed=$3 pack=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
matches() {  # matches TEXT PATTERN
    [[ "$1" == $2 ]]
}
# The file holds exactly LINE and its newline: $(...) would drop a newline
# that is missing.
is_line() {  # is_line FILE LINE
    printf '%s\n' "$2" | cmp -s - "$1"
}

# The same process id, arguments, environment, descriptors and status.
for form in plain packed; do
    program=$report
    [ $form = packed ] && program=$packed_report
    # The same output file for both, since it is among the descriptors.
    env -i SOME_VARIABLE="a value" "$program" one "two words" "" 3<"$report" >"$work/output" 2>&1 &
    echo "process $!" >"$work/$form.pid"
    wait $!
    echo "status $?" >>"$work/output"
    mv "$work/output" "$work/$form"
done
check "the packed form runs in the process that was started" \
    [ "$(head -n1 "$work/packed")" = "$(cat "$work/packed.pid")" ]
sed -i 1d "$work/plain" "$work/packed"
sed -i "s|^argument 0: .*|argument 0|" "$work/plain" "$work/packed"
check "and reports what the plain form reports" cmp "$work/plain" "$work/packed"
cat "$work/packed"

# Damage: a byte of the stream (the last 4 bytes are the check value), and
# the check value itself.
size=$(stat -c %s "$packed")
for damage in "stream:$((size - 100))" "check value:$((size - 2))"; do
    cp "$packed" "$work/damaged"
    offset=${damage#*:}
    byte=$(od -An -tu1 -j "$offset" -N1 "$work/damaged")
    printf "$(printf '\\%03o' $(((byte ^ 0x40) & 255)))" |
        dd of="$work/damaged" bs=1 seek="$offset" conv=notrunc status=none
    "$work/damaged" >"$work/output" 2>"$work/errors"
    status=$?
    check "a damaged ${damage%:*} ends with status 127" [ $status -eq 127 ]
    check "with one line" is_line "$work/errors" "mirrorfold: image check failed"
    check "and runs nothing" [ ! -s "$work/output" ]
done

# Under a file-size limit the memory file takes only part of the image:
# the program runs whole, or not at all. The packed report's image is
# 4,176 bytes: a limit of 4 KiB cuts off its last 80. Where SIGXFSZ is
# ignored the write fails (EFBIG, 27); at its default the signal ends the
# process (128 + 25).
for limit_case in "1:ignored:127" "4:ignored:127" "4:default:153" "5:ignored:7" "5:default:7"; do
    IFS=: read -r limit disposition expected <<<"$limit_case"
    (
        ulimit -f "$limit"
        [ "$disposition" = default ] || trap '' XFSZ
        exec "$packed_report"
    ) >"$work/output" 2>"$work/errors"
    status=$?
    check "under ulimit -f $limit, SIGXFSZ $disposition: status $expected" [ $status -eq "$expected" ]
    if [ "$expected" -eq 7 ]; then
        check "and it reports as the plain form does" grep -q "^argument 0: $packed_report$" "$work/output"
    else
        check "and runs nothing" [ ! -s "$work/output" ]
    fi
    [ "$expected" -ne 127 ] || check "with one line" is_line "$work/errors" "mirrorfold: write: error 27"
done

# Refused in one line naming the input, with the status <sysexits.h> names
# (65: not packable, 66: unreadable, 73: cannot write), and no output
# left: a directory, a text file, an executable cut short inside its one
# segment, one for another machine; and an output in a directory that does
# not exist, the second one, so that the first, written, must go again
# (the packed file, small, is packed there).
mkdir "$work/directory"
echo "not a program" >"$work/text"
head -c 2000 "$packed" >"$work/cut short"
cp "$report" "$work/i386"
printf '\003' | dd of="$work/i386" bs=1 seek=18 conv=notrunc status=none  # e_machine: EM_386
for refusal in "directory:66:is a directory" "text:65:not an ELF executable" \
    "cut short:65:program header 0 maps bytes past the file's end at 2000: cut short?" \
    "i386:65:built for ELF machine 3, not x86-64" "$packed:73:cannot write: No such file or directory"; do
    IFS=: read -r input status reason <<<"$refusal"
    [[ "$input" == /* ]] || input=$work/$input
    include=$work/include named=$input
    [ "$status" -ne 73 ] || include=$work/no/include named=$work/no/include
    "$pack" "$input" "$work/blob" "$include" >/dev/null 2>"$work/errors"
    check "${input##*/} is refused with status $status" [ $? -eq "$status" ]
    check "in one line naming it" matches "$(cat "$work/errors")" "pack_executable: $named: $reason"
    check "and leaves no output" [ -z "$(ls "$work" | grep -x -e blob -e include)" ]
done
cat "$work/errors"

echo "$((failures == 0 ? 1 : 0)) passed, $((failures > 0 ? 1 : 0)) failed"
[ "$failures" -eq 0 ]
