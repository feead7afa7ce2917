#!/usr/bin/env bash
# The real program under Xvfb: it opens its 1920x1080 window, pauses and resumes on Space,
# quits on Q, writes exactly the expected standard output and exits with status 0. Standard
# output is a file: each start-up message is in it while the program still runs.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

start_xvfb
start_program
window="$(find_window)" || exit 1

geometry="$(xwininfo -id "${window}" 2>/dev/null || true)"
if [ -n "${geometry}" ]; then
    grep -q 'Width: 1920' <<<"${geometry}" || fail "window is not 1920 wide: ${geometry}"
    grep -q 'Height: 1080' <<<"${geometry}" || fail "window is not 1080 high: ${geometry}"
fi

# The live title replaces the creation title from the first frame on.
wait_for_title "${window}" "${TITLE_PATTERN}" >/dev/null || exit 1
title="$(wait_for_title "${window}" 'Time: [1-9][0-9]*00\.00 Myr$')" || exit 1
echo "running: ${title}"
expected_stdout | head -n 10 >"${WORK}/banner"
program_lines "${WORK}/stdout" >"${WORK}/stdout.so-far"
cmp -s "${WORK}/banner" "${WORK}/stdout.so-far" ||
    fail "the start-up messages are not all in standard output while the program runs:"$'\n'"$(diff "${WORK}/banner" "${WORK}/stdout.so-far")"

press "${window}" space
title="$(wait_for_title "${window}" ' \[PAUSED\]$')" || exit 1
echo "paused:  ${title}"

press "${window}" space
title="$(wait_for_title "${window}" 'Myr$')" || exit 1
echo "resumed: ${title}"

press "${window}" q
expect_clean_exit
echo "PASS"
