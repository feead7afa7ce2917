#!/usr/bin/env bash
# A screenshot of the running program under Xvfb shows the black background, the red
# marker at the centre and particles in the galaxy's colours. The picture is kept as
# ${LUMETH_SCREENSHOT:-lumeth-screenshot.png} (in the working directory). While paused, zooming
# in (=) redraws a different picture of the same kind, and zooming out (-) again gives back
# exactly the first one.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need python3 xwininfo

out="${LUMETH_SCREENSHOT:-${PWD}/lumeth-screenshot.png}"
start_xvfb
start_program
window="$(find_window)" || exit 1

# A few steps in, then paused so that every frame shows the same picture.
wait_for_title "${window}" 'Time: [3-9]00\.00 Myr$|Time: [1-9][0-9]+00\.00 Myr$' >/dev/null ||
    exit 1
press "${window}" space
wait_for_title "${window}" ' \[PAUSED\]$' >/dev/null || exit 1
sleep 1

info="$(xwininfo -id "${window}")" || fail "xwininfo failed"
left="$(sed -n 's/.*Absolute upper-left X: *\(-\?[0-9]*\).*/\1/p' <<<"${info}")"
top="$(sed -n 's/.*Absolute upper-left Y: *\(-\?[0-9]*\).*/\1/p' <<<"${info}")"
width="$(sed -n 's/.*Width: *\([0-9]*\).*/\1/p' <<<"${info}")"
height="$(sed -n 's/.*Height: *\([0-9]*\).*/\1/p' <<<"${info}")"
[ "${width}x${height}" = 1920x1080 ] || fail "window is ${width}x${height}"

# Cuts the window out of the current framebuffer into the PNG file $1 and checks the picture.
screenshot() {
    cp "${WORK}/fb/Xvfb_screen0" "${WORK}/screen.xwd" || fail "no framebuffer file from Xvfb"
    python3 "${E2E_DIR}/screenshot.py" "${WORK}/screen.xwd" "${left}" "${top}" "${width}" \
        "${height}" "$1" || fail "the screenshot $(basename "$1") does not show the expected picture"
}

screenshot "${out}"

# Probe: takes the screenshot $1 and succeeds if it is (same) or is not (differs) the first.
screenshot_is() {
    screenshot "$1"
    if [ "$2" = same ]; then cmp -s "${out}" "$1"; else ! cmp -s "${out}" "$1"; fi
}

# The paused program keeps drawing each frame at the current zoom.
press "${window}" equal
wait_until "${E2E_WAIT}" "${APP_PID}" screenshot_is "${WORK}/zoomed-in.png" differs ||
    fail "zooming in did not change the picture within ${E2E_WAIT} s: ${WAIT_SAW}"
press "${window}" minus
wait_until "${E2E_WAIT}" "${APP_PID}" screenshot_is "${WORK}/zoomed-back.png" same ||
    fail "zooming in and out again did not give back the same picture within ${E2E_WAIT} s: ${WAIT_SAW}"

press "${window}" q
wait_program
[ "${APP_RC}" = 0 ] || fail "exit status ${APP_RC}, expected 0"
echo "PASS"
