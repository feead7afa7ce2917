# Shared helpers of the end-to-end tests: a private Xvfb server, the program under test with
# its output captured, window look-up, key presses and bounded waits. Sourced by the tests;
# every test takes the command that starts the program as its arguments: the program's path,
# or an emulator and the program (scripts/wine.sh build/windows/lumeth.exe).
#
# Exit status 77 tells CTest the test was skipped (a tool is missing).

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
    if ! wait_while_running "${XVFB_PID}" test -s "${WORK}/display"; then
        cat "${WORK}/xvfb.log" >&2
        fail "Xvfb did not start"
    fi
    DISPLAY=":$(head -n1 "${WORK}/display")"
    export DISPLAY
    unset WAYLAND_DISPLAY
}

# Runs the command given after <pid> every 0.1 s, for up to 10 s, until it succeeds (status 0)
# or process <pid> has ended (status 1).
wait_while_running() {
    local pid=$1
    shift
    for _ in $(seq 100); do
        if "$@"; then
            return 0
        fi
        kill -0 "${pid}" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# Whether a window manager has announced itself on the display.
window_manager_running() {
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'
}

# Starts the window manager openbox on the display, as a desktop has one: it places, frames
# and fits the windows into the screen. Waits (up to 10 s) until it has taken the screen.
start_window_manager() {
    need openbox xprop
    openbox --sm-disable >"${WORK}/wm.log" 2>&1 &
    WM_PID=$!
    if ! wait_while_running "${WM_PID}" window_manager_running; then
        cat "${WORK}/wm.log" >&2
        fail "the window manager did not start"
    fi
}

# Starts the program with standard output and standard error captured separately, and a
# watchdog: after E2E_TIME_LIMIT seconds (default 150, below CTest's timeout) it ends the
# program and Xvfb, which makes every wait of the test fail at once, and then the test.
start_program() {
    "${LUMETH[@]}" >"${WORK}/stdout" 2>"${WORK}/stderr" &
    APP_PID=$!
    (
        trap 'kill "${sleeper}" 2>/dev/null; exit 0' TERM
        sleep "${E2E_TIME_LIMIT:-150}" &
        sleeper=$!
        wait "${sleeper}"
        echo "FAIL: out of time after ${E2E_TIME_LIMIT:-150} s" >&2
        kill -9 "${APP_PID}" "${XVFB_PID}" 2>/dev/null
        kill -TERM $$
    ) &
    WATCHDOG_PID=$!
}

# Prints the id of the program's visible window once it exists (up to 60 s).
find_window() {
    local id
    for _ in $(seq 600); do
        id="$(xdotool search --onlyvisible --name '^Lumeth' 2>/dev/null | head -n1)"
        if [ -n "${id}" ]; then
            echo "${id}"
            return 0
        fi
        kill -0 "${APP_PID}" 2>/dev/null || fail "the program ended before showing its window"
        sleep 0.1
    done
    fail "no window named Lumeth appeared"
}

window_title() {
    xdotool getwindowname "$1" 2>/dev/null
}

# Waits (up to 60 s) until the window title matches the extended regular expression $2, and
# prints that title.
wait_for_title() {
    local id="$1" pattern="$2" title=""
    for _ in $(seq 600); do
        title="$(window_title "${id}")"
        if [[ "${title}" =~ ${pattern} ]]; then
            echo "${title}"
            return 0
        fi
        kill -0 "${APP_PID}" 2>/dev/null || fail "the program ended while waiting for /${pattern}/"
        sleep 0.1
    done
    fail "title never matched /${pattern}/; last title: '${title}'"
}

# Gives the window the keyboard focus (needed where there is no window manager) and types
# one key.
press() {
    local id="$1" key="$2"
    timeout 10 xdotool windowfocus --sync "${id}" || fail "could not focus window ${id}"
    timeout 10 xdotool key --delay 20 "${key}" || fail "xdotool could not send ${key}"
}

# Waits up to $1 seconds for the program to end and sets APP_RC to its exit status. Not to
# be called in a subshell: only this shell can collect the status of its child.
wait_program() {
    local limit="$1"
    for _ in $(seq $((limit * 10))); do
        if ! kill -0 "${APP_PID}" 2>/dev/null; then
            APP_RC=0
            wait "${APP_PID}" || APP_RC=$?
            APP_EXITED=1
            return 0
        fi
        sleep 0.1
    done
    fail "the program did not end within ${limit} s"
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
    wait_program 60
    [ "${APP_RC}" = 0 ] || fail "exit status ${APP_RC}, expected 0"
    expected_stdout >"${WORK}/expected"
    program_lines "${WORK}/stdout" >"${WORK}/stdout.lines"
    cmp -s "${WORK}/expected" "${WORK}/stdout.lines" ||
        fail "standard output differs:"$'\n'"$(diff "${WORK}/expected" "${WORK}/stdout.lines")"
}
