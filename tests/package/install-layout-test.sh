#!/usr/bin/env bash
# Installs the build into a temporary root with DESTDIR and checks that the installed
# programs work from there: launchers, the private library through $ORIGIN, the helper
# programs found beside the program, the web application, desktop entry and manual pages.
# Usage: install-layout-test.sh BUILD_DIR
set -u
build=${1:?usage: install-layout-test.sh BUILD_DIR}
work=$(mktemp -d "${TMPDIR:-/tmp}/korvex-install-XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

root=$work/root
if ! DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: cmake --install"
    exit 1
fi
usr=$root/usr
pkg=$usr/lib/korvex

# A clean environment: nothing of the build tree on PATH or in the library path, private
# work and port-registry folders.
mkdir -p "$work/docs" "$work/runtime" "$work/home"
run() {
    env -i HOME="$work/home" PATH=/usr/bin:/bin KORVEX_DOCUMENTS_DIR="$work/docs" \
        KORVEX_RUNTIME_DIR="$work/runtime" "$@"
}

for f in Korvex korvex-cli korvex-dongle-sim EnumSer; do
    [ -f "$pkg/$f" ] && [ -x "$pkg/$f" ] || fail "$pkg/$f is not an executable file"
done
[ -e "$pkg/libKorvexAPI.so.0" ] || fail "libKorvexAPI.so.0 missing in lib/korvex"
for f in app.html repository.html; do
    [ -s "$pkg/client/$f" ] || fail "web application file client/$f missing"
done
[ -n "$(ls "$pkg/client/lib" 2>/dev/null)" ] || fail "the web application's bundled libraries are missing"

# Launchers: relative links that end at the programs inside this root, not anywhere else.
for pair in korvex:Korvex korvex-cli:korvex-cli korvex-dongle-sim:korvex-dongle-sim EnumSer:EnumSer; do
    launcher=$usr/bin/${pair%%:*}
    target=$pkg/${pair#*:}
    if [ ! -L "$launcher" ]; then fail "$launcher is not a link"; continue; fi
    case "$(readlink "$launcher")" in /*) fail "$launcher links to an absolute path" ;; esac
    [ "$(readlink -f "$launcher")" = "$(readlink -f "$target")" ] || fail "$launcher does not lead to $target"
    [ -x "$launcher" ] || fail "$launcher is not executable"
done

# The private library is found through $ORIGIN alone, never through the build tree.
for f in Korvex korvex-cli; do
    resolved=$(env -i PATH=/usr/bin:/bin ldd "$pkg/$f" 2>&1)
    echo "$resolved" | grep -q "not found" && fail "ldd $f: $(echo "$resolved" | grep 'not found')"
    echo "$resolved" | grep -q "libKorvexAPI.so.0 => $pkg/libKorvexAPI.so.0" ||
        fail "$f does not load libKorvexAPI.so.0 from its own folder: $(echo "$resolved" | grep Korvex)"
    if readelf -d "$pkg/$f" | grep -E 'R(UN)?PATH' | grep -q "$build"; then
        fail "$f still searches the build tree"
    fi
done

out=$(run "$usr/bin/korvex-cli" --help 2>&1) || fail "korvex-cli --help from the installed launcher: $out"
echo "$out" | grep -q "korvex-cli" || fail "korvex-cli --help printed no help"

run "$usr/bin/EnumSer" >"$work/enumser.out" 2>&1 || fail "installed EnumSer: $(cat "$work/enumser.out")"
run "$usr/bin/EnumSer" --bad >/dev/null 2>&1; [ $? -eq 2 ] || fail "EnumSer with an argument should exit 2"

# End to end from the installed tree: korvex-cli starts the simulator beside itself and the
# library runs the EnumSer beside the program to find the simulated dongle.
out=$(run timeout 60 "$usr/bin/korvex-cli" --simulate --timeout 15 state 2>&1)
code=$?
[ $code -eq 0 ] || fail "installed korvex-cli --simulate state exited $code: $out"
echo "$out" | grep -q "^dongle *plugged" || fail "installed korvex-cli did not find the simulated dongle: $out"
[ -z "$(ls -A "$work/runtime/ports" 2>/dev/null)" ] || fail "the simulator left its port registry entry behind"

# The installed host serves the web application from its own folder: started through the
# launcher, headless, its page must be the application's main page with its own title. The
# browser's loopback debugging port lists the pages (a stable interface of the browser).
browser=$(PATH=/usr/bin:/bin command -v chromium || PATH=/usr/bin:/bin command -v chromium-browser || true)
if [ -n "$browser" ] && command -v setsid >/dev/null 2>&1; then
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' \
           2>/dev/null || echo $((20000 + RANDOM % 20000)))
    # A session of its own, so that whatever the host leaves behind can be ended as a group;
    # the host's process number is written by the shell it replaces.
    run setsid -w sh -c 'echo $$ >"$0"; exec "$@"' "$work/host.pid" \
        "$usr/bin/korvex" --headless --remote-debugging-port=$port >"$work/host.log" 2>&1 &
    launcher=$!
    page_list() {
        if command -v python3 >/dev/null 2>&1; then
            python3 -c 'import sys, urllib.request as u; print(u.urlopen(sys.argv[1], timeout=2).read().decode())' \
                "http://127.0.0.1:$port/json/list" 2>/dev/null
        else
            (exec 3<>"/dev/tcp/127.0.0.1/$port" &&
             printf 'GET /json/list HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3 &&
             timeout 1 cat <&3) 2>/dev/null
        fi
    }
    pages=""
    deadline=$((SECONDS + 30))
    while [ $SECONDS -lt $deadline ]; do
        pages=$(page_list)
        echo "$pages" | grep -q '"title": *"Korvex"' && break
        kill -0 $launcher 2>/dev/null || break
        sleep 0.5
    done
    echo "$pages" | grep -q '"url": *"http://res/client/app.html"' && echo "$pages" | grep -q '"title": *"Korvex"' ||
        fail "the installed korvex did not show the application's main page: $(tail -n 5 "$work/host.log")"
    # Closing: the host first, as a user's signal would; then anything left in its session.
    hostpid=$(cat "$work/host.pid" 2>/dev/null)
    if [ -n "$hostpid" ]; then
        kill -TERM "$hostpid" 2>/dev/null
        for _ in $(seq 1 20); do kill -0 $launcher 2>/dev/null || break; sleep 0.5; done
        kill -0 $launcher 2>/dev/null && fail "the installed korvex did not end within 10 s of SIGTERM"
        kill -KILL -- "-$hostpid" 2>/dev/null
    fi
    kill -KILL $launcher 2>/dev/null
    wait $launcher 2>/dev/null
else
    echo "note: no chromium, the installed host was not started"
fi

# Desktop entry, icon, udev rule, manual pages.
desktop=$usr/share/applications/korvex.desktop
if [ -f "$desktop" ]; then
    exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$usr/bin/$exec_name" ] || fail "the desktop entry runs '$exec_name', which is not installed in bin/"
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    [ -s "$usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the desktop entry's icon '$icon' is not installed"
    if command -v desktop-file-validate >/dev/null 2>&1; then
        msg=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $msg"
    fi
else
    fail "no desktop entry"
fi
if command -v python3 >/dev/null 2>&1; then
    python3 -c 'import sys, xml.dom.minidom as m; m.parse(sys.argv[1])' \
        "$usr/share/icons/hicolor/scalable/apps/korvex.svg" 2>/dev/null || fail "the icon is not well-formed SVG"
fi
[ -s "$usr/lib/udev/rules.d/70-korvex.rules" ] || fail "no udev rule"
for page in korvex korvex-cli korvex-dongle-sim EnumSer; do
    file=$(ls "$usr/share/man/man1/$page.1"* 2>/dev/null | head -n 1)
    if [ -z "$file" ]; then fail "no manual page for $page"; continue; fi
    if command -v man >/dev/null 2>&1; then
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "manual page $page: $warnings"
    fi
done

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "installed layout OK"
