#!/usr/bin/env bash
# Without any display the window cannot be created: the banner so far on standard output,
# "Window creation failed: " and SDL's reason on standard error, then one line that says what
# to do instead (a desktop, xvfb-run or lumeth-record), exit status 1.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

printf '%s\n' \
    "Initializing Lumeth galaxy simulation (CUDA)..." \
    "Particles: 100000" \
    "Black hole mass: 1.40e+08 solar masses" \
    "Spin parameter: 0.70" >"${WORK}/expected"

# Once with SDL choosing a video driver itself, once with X11 asked for explicitly.
for driver in "" x11; do
    echo "video driver: '${driver:-default}'"
    rc=0
    if [ -n "${driver}" ]; then
        env -u DISPLAY -u WAYLAND_DISPLAY SDL_VIDEO_DRIVER="${driver}" \
            timeout "${E2E_WAIT}" "${LUMETH[@]}" >"${WORK}/stdout" 2>"${WORK}/stderr" || rc=$?
    else
        env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEO_DRIVER \
            timeout "${E2E_WAIT}" "${LUMETH[@]}" >"${WORK}/stdout" 2>"${WORK}/stderr" || rc=$?
    fi
    [ "${rc}" = 124 ] && fail "the program did not end within ${E2E_WAIT} s without a display"
    cat "${WORK}/stderr"
    [ "${rc}" = 1 ] || fail "exit status ${rc}, expected 1"
    cmp -s "${WORK}/expected" "${WORK}/stdout" ||
        fail "standard output differs:"$'\n'"$(diff "${WORK}/expected" "${WORK}/stdout")"
    [ "$(wc -l <"${WORK}/stderr")" = 2 ] || fail "standard error is not exactly two lines"
    head -n1 "${WORK}/stderr" | grep -Eq '^Window creation failed: .*[^ ]' ||
        fail "standard error lacks 'Window creation failed: ' and SDL's text"
    advice="$(sed -n 2p "${WORK}/stderr")"
    for word in desktop xvfb-run lumeth-record; do
        [[ "${advice}" == *"${word}"* ]] || fail "the second line does not mention ${word}"
    done
done
echo "PASS"
