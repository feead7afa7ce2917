#!/usr/bin/env bash
# A screenshot of the running program under Xvfb shows the black background, the red
# marker at the centre and particles in the galaxy's colours. The picture is kept as
# ${LUMETH_SCREENSHOT:-lumeth-screenshot.png} (in the working directory).
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

cp "${WORK}/fb/Xvfb_screen0" "${WORK}/screen.xwd" || fail "no framebuffer file from Xvfb"
python3 "${E2E_DIR}/screenshot.py" "${WORK}/screen.xwd" "${left}" "${top}" "${width}" \
    "${height}" "${out}" || fail "the screenshot does not show the expected picture"

press "${window}" q
wait_program 60
[ "${APP_RC}" = 0 ] || fail "exit status ${APP_RC}, expected 0"
echo "PASS"
