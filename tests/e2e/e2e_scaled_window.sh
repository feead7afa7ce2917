#!/usr/bin/env bash
# The frame follows the window. On a 1920x1080 screen without a window manager: the paused
# frame at 1920x1080 (the exact picture of e2e_screenshot.sh), then the window resized to
# 960x540 shows that whole frame at half the size, marker at the centre, every particle
# still seen, and resized back it gives exactly the first picture again. Then on a
# 1366x768 screen under a window manager, which fits the window into the screen: the whole
# frame, letterboxed, with the marker at the centre of the window's picture.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need python3 xwininfo

# The window's place and size on the screen: sets left, top, width and height.
geometry() {
    local info
    info="$(xwininfo -id "$1")" || fail "xwininfo failed"
    left="$(sed -n 's/.*Absolute upper-left X: *\(-\?[0-9]*\).*/\1/p' <<<"${info}")"
    top="$(sed -n 's/.*Absolute upper-left Y: *\(-\?[0-9]*\).*/\1/p' <<<"${info}")"
    width="$(sed -n 's/.*Width: *\([0-9]*\).*/\1/p' <<<"${info}")"
    height="$(sed -n 's/.*Height: *\([0-9]*\).*/\1/p' <<<"${info}")"
}

# Cuts the window out of the framebuffer into the PNG file $1 and checks it with
# screenshot.py and the options that follow.
screenshot() {
    local png="$1"
    shift
    cp "${WORK}/fb/Xvfb_screen0" "${WORK}/screen.xwd" || fail "no framebuffer file from Xvfb"
    python3 "${E2E_DIR}/screenshot.py" "$@" "${WORK}/screen.xwd" "${left}" "${top}" \
        "${width}" "${height}" "${png}" ${full:+"${full}"} ||
        fail "the screenshot $(basename "${png}") at ${width}x${height} does not show the whole frame"
}

# Probe: prints the size of window $1 and succeeds if it is $2x$3.
has_size() {
    geometry "$1"
    echo "${width}x${height}"
    [ "${width}x${height}" = "$2x$3" ]
}

# Resizes the window to $2x$3 and waits until it has that size and has been redrawn.
resize() {
    timeout "${E2E_WAIT}" xdotool windowsize --sync "$1" "$2" "$3" || fail "could not resize the window"
    wait_until "${E2E_WAIT}" "${APP_PID}" has_size "$1" "$2" "$3" ||
        fail "the window is ${WAIT_SAW}, not $2x$3 (after ${E2E_WAIT} s, or the program ended)"
    geometry "$1"
    sleep 1
}

# A few steps in, then paused so that every frame shows the same picture.
pause_after_a_few_steps() {
    wait_for_title "$1" 'Time: [3-9]00\.00 Myr$|Time: [1-9][0-9]+00\.00 Myr$' >/dev/null ||
        exit 1
    press "$1" space
    wait_for_title "$1" ' \[PAUSED\]$' >/dev/null || exit 1
    sleep 1
}

quit() {
    press "$1" q
    wait_program
    [ "${APP_RC}" = 0 ] || fail "exit status ${APP_RC}, expected 0"
}

start_xvfb
start_program
window="$(find_window)" || exit 1
pause_after_a_few_steps "${window}"
geometry "${window}"
[ "${width}x${height}" = 1920x1080 ] || fail "window is ${width}x${height}"
full=""
screenshot "${WORK}/full.png"
full="${WORK}/full.png"
resize "${window}" 960 540
screenshot "${WORK}/half.png" --scaled
full=""
resize "${window}" 1920 1080
screenshot "${WORK}/full-again.png"
cmp -s "${WORK}/full.png" "${WORK}/full-again.png" ||
    fail "back at 1920x1080 the picture is not the first one"
quit "${window}"
stop_session

echo "a 1366x768 screen under a window manager"
E2E_SCREEN=1366x768 start_xvfb
start_window_manager
start_program
window="$(find_window)" || exit 1
pause_after_a_few_steps "${window}"
geometry "${window}"
if [ "${left}" -lt 0 ] || [ "${top}" -lt 0 ] || [ $((left + width)) -gt 1366 ] ||
    [ $((top + height)) -gt 768 ]; then
    fail "the window ${width}x${height}+${left}+${top} does not fit the screen"
fi
screenshot "${WORK}/small-screen.png" --scaled
quit "${window}"
echo "PASS"
