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

wait_for_title "${window}" "${TITLE_PATTERN}" >/dev/null || exit 1

# Running: the time never goes back and keeps growing.
read_title
first="$(steps "${TIME}")"
[ "${first}" -ge 1 ] || fail "the first frame already steps: time ${TIME}"
last="${first}"
for _ in $(seq 600); do
    read_title
    now="$(steps "${TIME}")"
    [ "${now}" -ge "${last}" ] || fail "time went back from ${last} to ${now} steps"
    last="${now}"
    [ "${last}" -ge $((first + 3)) ] && break
    sleep 0.1
done
[ "${last}" -ge $((first + 3)) ] || fail "time did not advance: ${first} -> ${last} steps"
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
for _ in $(seq 600); do
    read_title
    [ "$(steps "${TIME}")" -gt "$(steps "${paused_at}")" ] && break
    sleep 0.1
done
[ "$(steps "${TIME}")" -gt "$(steps "${paused_at}")" ] || fail "time did not resume"
echo "resumed: ${TIME} Myr"

press "${window}" Escape
expect_clean_exit
echo "PASS"
