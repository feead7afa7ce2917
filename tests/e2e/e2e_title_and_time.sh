#!/usr/bin/env bash
# The window title follows its format, the simulated time in it advances in whole steps of
# 100.00 Myr while running and stands still while paused; Escape quits with status 0.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

start_xvfb
start_program
window="$(find_window)" || exit 1

# Reads the title and sets TIME (the simulated time as printed) and PAUSED (0 or 1).
read_title() {
    local title
    title="$(window_title "${window}")"
    [[ "${title}" =~ ${TITLE_PATTERN} ]] || fail "title does not follow the format: '${title}'"
    TIME="${BASH_REMATCH[2]}"
    PAUSED=0
    [ -n "${BASH_REMATCH[3]}" ] && PAUSED=1
    # Every frame adds exactly one step, so the time shown is always n x 100.00 Myr.
    [[ "${TIME}" =~ ^(0|[1-9][0-9]*00)\.00$ ]] || fail "time ${TIME} is not a multiple of 100.00"
}

# Time as a whole number of steps.
steps() { echo $((${1%.00} / 100)); }

# Probe: prints the title and succeeds once it shows more than $1 steps. A title out of
# format or a time that went back (below the steps in ${WORK}/steps, the most seen so far)
# is noted in ${WORK}/wrong for the test to fail on.
steps_beyond() {
    local title time now
    title="$(window_title "${window}")"
    echo "${title}"
    [[ "${title}" =~ ${TITLE_PATTERN} ]] && time="${BASH_REMATCH[2]}"
    if [[ ! "${time:-}" =~ ^(0|[1-9][0-9]*00)\.00$ ]]; then
        echo "title out of format or time not a multiple of 100.00: '${title}'" >"${WORK}/wrong"
        return 1
    fi
    now="$(steps "${time}")"
    if [ "${now}" -lt "$(cat "${WORK}/steps")" ]; then
        echo "time went back from $(cat "${WORK}/steps") to ${now} steps" >"${WORK}/wrong"
    fi
    echo "${now}" >"${WORK}/steps"
    [ "${now}" -gt "$1" ]
}

# Waits until the title shows more than $1 steps, failing on anything noted on the way.
wait_beyond() {
    local found=0
    wait_until "${E2E_WAIT}" "${APP_PID}" steps_beyond "$1" && found=1
    [ -s "${WORK}/wrong" ] && fail "$(cat "${WORK}/wrong")"
    [ "${found}" = 1 ] || fail "the time did not pass $1 steps within ${E2E_WAIT} s (or the program ended); last title: '${WAIT_SAW}'"
}

wait_for_title "${window}" "${TITLE_PATTERN}" >/dev/null || exit 1

# Running: the time never goes back and keeps growing.
read_title
first="$(steps "${TIME}")"
[ "${first}" -ge 1 ] || fail "the first frame already steps: time ${TIME}"
echo "${first}" >"${WORK}/steps"
wait_beyond $((first + 2))
last="$(cat "${WORK}/steps")"
echo "running: ${first} -> ${last} steps"

# Paused: the same time over several reads spread over more than a second.
press "${window}" space
wait_for_title "${window}" ' \[PAUSED\]$' >/dev/null || exit 1
read_title
paused_at="${TIME}"
[ "$(steps "${paused_at}")" -ge "${last}" ] || fail "pausing lost steps"
for _ in $(seq 6); do
    sleep 0.25
    read_title
    [ "${PAUSED}" = 1 ] || fail "the pause mark went away"
    [ "${TIME}" = "${paused_at}" ] || fail "time moved while paused: ${paused_at} -> ${TIME}"
done
echo "paused at ${paused_at} Myr"

# Resumed: the time moves on from where it stood.
press "${window}" space
wait_for_title "${window}" 'Myr$' >/dev/null || exit 1
wait_beyond "$(steps "${paused_at}")"
echo "resumed: $(cat "${WORK}/steps") steps"

press "${window}" Escape
expect_clean_exit
echo "PASS"
