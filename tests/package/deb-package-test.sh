#!/usr/bin/env bash
# Builds the Debian package with cpack into a temporary folder and checks its control data
# and contents, then unpacks it and runs the stripped programs from the unpacked tree.
# Usage: deb-package-test.sh BUILD_DIR
set -u
build=${1:?usage: deb-package-test.sh BUILD_DIR}
work=$(mktemp -d "${TMPDIR:-/tmp}/korvex-deb-XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
deb=$(ls "$work"/out/korvex_*.deb 2>/dev/null | head -n 1)
if [ -z "$deb" ]; then
    cat "$work/cpack.log"
    echo "FAIL: cpack made no korvex_*.deb"
    exit 1
fi

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = korvex ] || fail "package name is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture 2>/dev/null || echo amd64)" ] ||
    fail "architecture is '$(field Architecture)'"
depends=$(field Depends)
# The browser the host drives, and the shared libraries the programs load.
names=$(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/^ *//; s/ *$//')
for needed in chromium libbson-1.0-0 libstdc++6 libc6; do
    echo "$names" | grep -qxF "$needed" || fail "Depends lacks $needed: $depends"
done
# Boost is linked statically or header-only: a Boost package would only be needed if a
# program loaded a Boost library at run time.
echo "$depends" | grep -q libboost && ! ldd "$build"/bin/* 2>/dev/null | grep -q libboost &&
    fail "Depends names Boost, which no program loads: $depends"

listing=$(dpkg-deb -c "$deb")
for path in ./usr/lib/korvex/Korvex ./usr/lib/korvex/korvex-cli ./usr/lib/korvex/korvex-dongle-sim \
            ./usr/lib/korvex/EnumSer ./usr/lib/korvex/libKorvexAPI.so.0 ./usr/lib/korvex/client/app.html \
            ./usr/share/applications/korvex.desktop ./usr/share/icons/hicolor/scalable/apps/korvex.svg \
            ./usr/lib/udev/rules.d/70-korvex.rules ./usr/share/man/man1/korvex.1.gz \
            ./usr/share/man/man1/korvex-cli.1.gz ./usr/share/man/man1/korvex-dongle-sim.1.gz \
            ./usr/share/man/man1/EnumSer.1.gz; do
    echo "$listing" | grep -q " $path\( \|$\)" || fail "package lacks $path"
done
echo "$listing" | grep -q " ./usr/bin/korvex -> ../lib/korvex/Korvex$" || fail "package lacks the korvex launcher"
# Everything belongs to root and nothing is writable by others.
echo "$listing" | awk '{ print $2 }' | grep -vq '^root/root$' && fail "files not owned by root/root"
echo "$listing" | awk '$1 ~ /^[-d].......w/ { print $NF }' | grep -q . && fail "files writable by others"

# The maintainer script must not fail where no udev runs (chroots, containers).
dpkg-deb -e "$deb" "$work/control"
if [ -x "$work/control/postinst" ]; then
    sh -n "$work/control/postinst" || fail "postinst is not valid sh"
fi

# The unpacked, stripped programs still run and find their library and helpers.
dpkg-deb -x "$deb" "$work/tree"
out=$(env -i PATH=/usr/bin:/bin "$work/tree/usr/bin/korvex-cli" --help 2>&1) ||
    fail "unpacked korvex-cli --help: $out"
env -i PATH=/usr/bin:/bin KORVEX_RUNTIME_DIR="$work/runtime" "$work/tree/usr/bin/EnumSer" >/dev/null 2>&1 ||
    fail "unpacked EnumSer failed"
if ldd "$work/tree/usr/lib/korvex/Korvex" | grep -q "not found"; then
    fail "unpacked Korvex misses libraries: $(ldd "$work/tree/usr/lib/korvex/Korvex" | grep 'not found')"
fi

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package $(basename "$deb") OK; Depends: $depends"
