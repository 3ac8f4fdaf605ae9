#!/usr/bin/env bash
# mirrorfold-render's checkpoints as a user meets them, at two samples over
# the whole frame, two samples drawn in all (about 50 s here): Ctrl-C after
# the first pass keeps the sums and a preview and says so; the other sample
# drawn as a part, and the two merged; run again, a render goes on from its
# checkpoint, and a finished one kept with --keep-checkpoint is taken up
# again. Checkpoints and parts that do not fit are refused with status 2, in
# one line, before anything is drawn, and left byte for byte; so is a
# checkpoint that --restart would replace but nothing has replaced yet. A
# file-size limit leaves the last whole checkpoint.
#
#   checkpoint_test.sh RENDERER
set -uo pipefail
render=$1
work=$(mktemp -d)
render_pid=
trap '[ -z "$render_pid" ] || kill "$render_pid" 2>/dev/null; rm -rf --one-file-system "$work"' EXIT
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
cd "$work" || exit 1
files_here() {
    ls -A | grep -v -x -e output -e errors | tr '\n' ' '
}
same_pixels() {  # same_pixels IMAGE IMAGE: by their pixels' signatures, whatever else the files hold
    [ "$(identify -format '%#' "$1")" = "$(identify -format '%#' "$2")" ]
}
said() {  # said TEXT: in one line of standard error
    [ "$(grep -c -F -- "$1" errors)" -eq 1 ] || { cat errors; return 1; }
}
exr_attribute() {  # exr_attribute FILE NAME
    exrheader "$1" | sed -n "s/^$2 (type int): //p"
}

# Stopped during the second pass: the first is kept.
SAMPLES=2 env --default-signal=INT "$render" x.png >output 2>errors &
render_pid=$!
preview_or_end() {
    grep -q "the picture so far" errors || ! kill -0 "$render_pid" 2>/dev/null
}
wait_until 600 preview_or_end
check "a preview once the first pass is done" grep -q "the picture so far" errors
kill -INT "$render_pid"
wait "$render_pid"
check "SIGINT ends the render with status 130" [ $? -eq 130 ]
render_pid=
check "saying how much is kept, where, and how to go on" \
    said "stopped by SIGINT: 1 of 2 samples kept in x.checkpoint.exr; the same command goes on from there"
check "the checkpoint and the preview are left, and nothing else" \
    [ "$(files_here)" = "x.checkpoint.exr x.preview.png " ]
check "the preview says what it holds" [ "$(identify -format '%[Samples]' x.preview.png)" = "1 of 2" ]
check "exrheader reads the checkpoint's samples" \
    [ "$(exr_attribute x.checkpoint.exr mirrorfoldSamplesDone)/$(exr_attribute x.checkpoint.exr mirrorfoldSamplesAsked)" = 1/2 ]
check "a progress line at most every 10 per cent" [ "$(grep -c '^samples ' errors)" -le 10 ]
cp x.checkpoint.exr one-of-two.exr
cp x.preview.png one-sample.png

# What does not fit is refused at once, and left as it was.
head -c 100000 one-of-two.exr >cut.exr
cp x.preview.png picture.exr
LC_ALL=C sed 's/vec3(7\.9)/vec3(7.8)/' one-of-two.exr >other-shader.exr
for refusal in "SAMPLES=0 --checkpoint one-of-two.exr y.png|holds 1 sample, more than the 0 now asked" \
    "SAMPLES=2 --checkpoint cut.exr y.png|cut.exr: cut short or damaged" \
    "SAMPLES=2 --checkpoint picture.exr y.png|picture.exr: not an OpenEXR file" \
    "SAMPLES=2 --checkpoint other-shader.exr y.png|other-shader.exr: made with another shader" \
    "SAMPLES=2 --samples 1:3 y.exr|--samples 1:3 goes past the 2 samples" \
    "SAMPLES=2 --merge one-of-two.exr y.png|samples 1 to 1 of the 2 asked are in no part" \
    "SAMPLES=2 --merge one-of-two.exr one-of-two.exr y.png|samples 0 to 0 are in both one-of-two.exr and one-of-two.exr" \
    "SAMPLES=2 --merge cut.exr y.png|cut.exr: cut short or damaged"; do
    read -r -a arguments <<<"${refusal%|*}"
    before=$(md5sum -- *.exr)
    env "${arguments[0]}" "$render" "${arguments[@]:1}" >output 2>errors
    check "${refusal%|*}: refused with status 2" [ $? -eq 2 ]
    check "in one line, \"${refusal#*|}\"" said "${refusal#*|}"
    check "having drawn nothing" [ "$(wc -c <output)/$(grep -c '^samples' errors)" = 0/0 ]
    check "leaving every file as it was, and no other" [ "$(md5sum -- *.exr)/$(ls -A | grep -c -v '\.exr$')" = "$before/4" ]
done
# --restart replaces a checkpoint only with a new one: SAMPLES=0 writes none.
SAMPLES=0 "$render" --restart --checkpoint cut.exr y.png >output 2>errors
check "--restart with nothing drawn saves the image" [ $? -eq 0 ]
check "and leaves the checkpoint it would replace" cmp -s cut.exr <(head -c 100000 one-of-two.exr)

# Split: the other sample drawn alone, as another machine would, and the
# parts merged, named in any order. Two parts of one sample each add up in
# the order of one render: the very image.
SAMPLES=2 "$render" --samples 1:2 second.exr >output 2>errors
check "a part drawn alone, with status 0" [ $? -eq 0 ]
check "saved whole" grep -qx "part saved: second.exr" output
check "with its samples" [ "$(exr_attribute second.exr mirrorfoldFirstSample)/$(exr_attribute second.exr mirrorfoldSamplesDone)" = 1/1 ]
"$render" --merge second.exr one-of-two.exr merged.png >output 2>errors
check "the parts merged" [ "$(identify -format '%[Samples]' merged.png)" = 2 ]

# Run again, it goes on; here with fewer samples asked, all of which it has.
# The checkpoint kept at the end does not fit under the file-size limit:
# that is said, and the last whole one stays.
(ulimit -f 20000 && SAMPLES=1 exec "$render" --keep-checkpoint x.png) >output 2>errors
check "the same command goes on from the checkpoint, with status 0" [ $? -eq 0 ]
check "saying so" said "resuming at 1 of 1 samples from x.checkpoint.exr"
check "the image saved" grep -qx "image saved: x.png" output
check "the image of the samples kept: the preview's" same_pixels x.png one-sample.png
check "the checkpoint that did not fit, said once" said "cannot save x.checkpoint.exr: File too large"
check "leaving the last whole one" cmp -s x.checkpoint.exr one-of-two.exr
check "the preview gone with the render" [ ! -e x.preview.png ]

# A finished render, kept, is taken up again with what is now asked, and
# merged alone it is the image. Where the image cannot be saved, status 1,
# and the checkpoint is kept.
cp one-of-two.exr kept.exr
SAMPLES=1 "$render" --keep-checkpoint --checkpoint kept.exr one.png >output 2>errors
check "a checkpoint with all its samples gives the image" [ $? -eq 0 ]
check "kept, with what it holds" said "1 of 1 samples kept in kept.exr"
"$render" --merge kept.exr alone.png >output 2>errors
check "its merge is the image, pixel for pixel" same_pixels one.png alone.png
cp kept.exr before.exr
(ulimit -f 100 && SAMPLES=1 exec "$render" --checkpoint kept.exr large.png) >output 2>errors
check "an image that cannot be saved: status 1" [ $? -eq 1 ]
check "saying why, and what is kept" said "cannot save large.png: File too large; 1 of 1 samples kept in kept.exr"
check "the checkpoint as it was, and no image" [ "$(cmp before.exr kept.exr && ls large.png 2>&1)" != large.png ]
cat errors

report_and_end
