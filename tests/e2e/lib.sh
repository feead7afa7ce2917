# Shared helpers of the end-to-end tests: a private Xvfb server, the program under test with
# its output captured, window look-up, key presses and bounded waits. Sourced by the tests;
# every test takes the command that starts the program as its arguments: the program's path,
# or an emulator and the program (scripts/wine.sh build/windows/lumeth.exe).
#
# Exit status 77 tells CTest the test was skipped (a tool is missing).
#
# Every wait (for Xvfb, the window manager, the window, a title, the program's end) goes
# through wait_until with a wall-clock bound of E2E_WAIT seconds (default 240): on an idle
# machine each takes a few seconds, but with the whole suite running on two busy cores one
# title took 76 s. A passing test never sits out the bound; a failing one says what it saw last.

# shellcheck disable=SC2034  # E2E_DIR, APP_RC and TITLE_PATTERN are for the sourcing tests
set -u

E2E_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
[ $# -gt 0 ] || { echo "usage: $0 [emulator] path/to/lumeth" >&2; exit 2; }
LUMETH=("$@")
# A Windows program writes its lines with \r\n ends (the C runtime's text mode).
LUMETH_WINDOWS=0
[[ "${LUMETH[-1]}" == *.exe ]] && LUMETH_WINDOWS=1
WORK="$(mktemp -d "${TMPDIR:-/tmp}/lumeth-e2e.XXXXXX")"
XVFB_PID=""
APP_PID=""
APP_RC=""
E2E_WAIT="${E2E_WAIT:-240}"
WAIT_SAW=""
APP_EXITED=0
WATCHDOG_PID=""
WM_PID=""

fail() {
    echo "FAIL: $*" >&2
    if [ -n "${APP_PID}" ]; then
        echo "--- program stdout ---" >&2
        cat "${WORK}/stdout" >&2 2>/dev/null
        echo "--- program stderr ---" >&2
        cat "${WORK}/stderr" >&2 2>/dev/null
    fi
    exit 1
}

skip() {
    echo "SKIP: $*"
    exit 77
}

need() {
    local tool
    for tool in "$@"; do
        command -v "${tool}" >/dev/null 2>&1 || skip "${tool} is not installed"
    done
}

# Ends the program, its watchdog, the window manager and Xvfb, so that a test can start a
# fresh display.
stop_session() {
    if [ -n "${WATCHDOG_PID}" ]; then
        kill "${WATCHDOG_PID}" 2>/dev/null
    fi
    if [ -n "${APP_PID}" ] && [ "${APP_EXITED}" = 0 ] && kill -0 "${APP_PID}" 2>/dev/null; then
        kill "${APP_PID}" 2>/dev/null
        sleep 0.5
        kill -9 "${APP_PID}" 2>/dev/null
    fi
    if [ -n "${WM_PID}" ] && kill -0 "${WM_PID}" 2>/dev/null; then
        kill "${WM_PID}" 2>/dev/null
        wait "${WM_PID}" 2>/dev/null
    fi
    if [ -n "${XVFB_PID}" ] && kill -0 "${XVFB_PID}" 2>/dev/null; then
        kill "${XVFB_PID}" 2>/dev/null
        wait "${XVFB_PID}" 2>/dev/null
    fi
    WATCHDOG_PID=""
    APP_PID=""
    APP_EXITED=0
    WM_PID=""
    XVFB_PID=""
}

cleanup() {
    stop_session
    rm -rf "${WORK}"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Starts Xvfb on a display number it picks itself (-displayfd), a 24-bit screen of
# ${E2E_SCREEN:-1920x1080} pixels whose framebuffer is also kept as an XWD file in
# ${WORK}/fb (for screenshots). No pointer is drawn: it would sit over the centre of the
# screen, on the marker.
start_xvfb() {
    need Xvfb xdotool
    mkdir -p "${WORK}/fb"
    Xvfb -displayfd 3 -screen 0 "${E2E_SCREEN:-1920x1080}x24" -fbdir "${WORK}/fb" -nolisten tcp -nocursor \
        3>"${WORK}/display" >"${WORK}/xvfb.log" 2>&1 &
    XVFB_PID=$!
    if ! wait_until "${E2E_WAIT}" "${XVFB_PID}" test -s "${WORK}/display"; then
        cat "${WORK}/xvfb.log" >&2
        fail "Xvfb did not give its display number (within ${E2E_WAIT} s, or it ended)"
    fi
    DISPLAY=":$(head -n1 "${WORK}/display")"
    export DISPLAY
    unset WAYLAND_DISPLAY
}

# The one wait of these tests: runs the probe (the command after <seconds> and <pid>) every
# 0.1 s until it succeeds (returns 0), process <pid> has ended (returns 2; "-" for no process),
# or <seconds> of wall-clock time have passed (returns 1). The probe's output of its last try
# is left in WAIT_SAW for the caller's message, and what is awaited in ${WORK}/waiting for the
# watchdog's.
wait_until() {
    local limit=$1 pid=$2
    shift 2
    local deadline=$((SECONDS + limit))
    echo "$*" >"${WORK}/waiting"
    while :; do
        if WAIT_SAW="$("$@" 2>&1)"; then
            return 0
        fi
        if [ "${pid}" != - ] && ! kill -0 "${pid}" 2>/dev/null; then
            return 2
        fi
        [ "${SECONDS}" -lt "${deadline}" ] || return 1
        sleep 0.1
    done
}

# Whether a window manager has announced itself on the display.
window_manager_running() {
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'
}

# Starts the window manager openbox on the display, as a desktop has one: it places, frames
# and fits the windows into the screen. Waits until it has taken the screen.
start_window_manager() {
    need openbox xprop
    openbox --sm-disable >"${WORK}/wm.log" 2>&1 &
    WM_PID=$!
    if ! wait_until "${E2E_WAIT}" "${WM_PID}" window_manager_running; then
        cat "${WORK}/wm.log" >&2
        fail "the window manager did not take the screen (within ${E2E_WAIT} s, or it ended)"
    fi
}

# Starts the program with standard output and standard error captured separately, and a
# watchdog: after E2E_TIME_LIMIT seconds (default 540, below CTest's timeout) it ends the
# program and Xvfb, which makes every wait of the test fail at once, and then the test.
start_program() {
    "${LUMETH[@]}" >"${WORK}/stdout" 2>"${WORK}/stderr" &
    APP_PID=$!
    (
        trap 'kill "${sleeper}" 2>/dev/null; exit 0' TERM
        sleep "${E2E_TIME_LIMIT:-540}" &
        sleeper=$!
        wait "${sleeper}"
        echo "FAIL: out of time after ${E2E_TIME_LIMIT:-540} s, waiting for: $(cat "${WORK}/waiting" 2>/dev/null)" >&2
        kill -9 "${APP_PID}" "${XVFB_PID}" 2>/dev/null
        kill -TERM $$
    ) &
    WATCHDOG_PID=$!
}

# Probe: prints the id of the program's visible window, if there is one.
visible_window() {
    local id
    id="$(xdotool search --onlyvisible --name '^Lumeth' 2>/dev/null | head -n1)"
    [ -n "${id}" ] && echo "${id}"
}

# The names of the windows on the display, for a message.
window_names() {
    local id
    for id in $(xdotool search --name '' 2>/dev/null | head -n 20); do
        printf "'%s' " "$(xdotool getwindowname "${id}" 2>/dev/null)"
    done
}

# Prints the id of the program's visible window once it exists.
find_window() {
    wait_until "${E2E_WAIT}" "${APP_PID}" visible_window
    case $? in
    0) echo "${WAIT_SAW}" ;;
    2) fail "the program ended before showing its window" ;;
    *) fail "no visible window named Lumeth within ${E2E_WAIT} s; windows: $(window_names)" ;;
    esac
}

window_title() {
    xdotool getwindowname "$1" 2>/dev/null
}

# Probe: prints the title of window $1 and succeeds if it matches the pattern $2.
title_matches() {
    local title
    title="$(window_title "$1")"
    echo "${title}"
    [[ "${title}" =~ $2 ]]
}

# Waits until the window title matches the extended regular expression $2, and prints that
# title.
wait_for_title() {
    wait_until "${E2E_WAIT}" "${APP_PID}" title_matches "$1" "$2"
    case $? in
    0) echo "${WAIT_SAW}" ;;
    2) fail "the program ended while waiting for a title matching /$2/; last title: '${WAIT_SAW}'" ;;
    *) fail "no title matched /$2/ within ${E2E_WAIT} s; last title: '${WAIT_SAW}'" ;;
    esac
}

# Gives the window the keyboard focus (needed where there is no window manager) and types
# one key.
press() {
    local id="$1" key="$2"
    timeout "${E2E_WAIT}" xdotool windowfocus --sync "${id}" || fail "could not focus window ${id}"
    timeout "${E2E_WAIT}" xdotool key --delay 20 "${key}" || fail "xdotool could not send ${key}"
}

# Probe: succeeds once the program has ended; prints the title while it runs.
program_ended() {
    ! kill -0 "${APP_PID}" 2>/dev/null || { window_title "${window:-}"; return 1; }
}

# Waits for the program to end and sets APP_RC to its exit status. Not to be called in a
# subshell: only this shell can collect the status of its child.
wait_program() {
    wait_until "${E2E_WAIT}" - program_ended ||
        fail "the program did not end within ${E2E_WAIT} s; its title: '${WAIT_SAW}'"
    APP_RC=0
    wait "${APP_PID}" || APP_RC=$?
    APP_EXITED=1
}

# The whole standard output of a run that starts, runs and quits normally.
expected_stdout() {
    printf '%s\n' \
        "Initializing Lumeth galaxy simulation (CUDA)..." \
        "Particles: 100000" \
        "Black hole mass: 1.40e+08 solar masses" \
        "Spin parameter: 0.70" \
        "SDL3 initialized. Window: 1920x1080" \
        "Generating initial conditions..." \
        "Initial conditions ready." \
        "Starting simulation loop..." \
        "Controls: SPACE=pause, +/-=zoom, Q/ESC=quit" \
        "" \
        "" \
        "Cleaning up..." \
        "Simulation terminated."
}

# Prints the file $1 of the program's output line by line, without the carriage returns that
# end a Windows program's lines: the lines are compared, not the line ends.
program_lines() {
    if [ "${LUMETH_WINDOWS}" = 1 ]; then
        sed 's/\r$//' "$1"
    else
        cat "$1"
    fi
}

# The live title; group 1 is the frame rate, group 2 the time, group 3 the pause mark.
TITLE_PATTERN='^Lumeth CUDA \| FPS: ([0-9]+\.[0-9]|inf) \| Particles: 100000 \| Time: ([0-9]+\.[0-9]{2}) Myr( \[PAUSED\])?$'

# Waits for the program to end after a quit key and checks that it exited with status 0 and
# printed exactly the expected standard output.
expect_clean_exit() {
    wait_program
    [ "${APP_RC}" = 0 ] || fail "exit status ${APP_RC}, expected 0"
    expected_stdout >"${WORK}/expected"
    program_lines "${WORK}/stdout" >"${WORK}/stdout.lines"
    cmp -s "${WORK}/expected" "${WORK}/stdout.lines" ||
        fail "standard output differs:"$'\n'"$(diff "${WORK}/expected" "${WORK}/stdout.lines")"
}
