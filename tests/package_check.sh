#!/bin/sh
# Builds the Debian package of a build tree into a temporary folder and checks that it
# installs Tervik.clap into /usr/lib/clap and tervik-host into /usr/bin, and depends on the
# packages of the libraries they link. Usage: package_check.sh BUILD_DIR CPACK
set -eu
build=$1
cpack=$2
out=$(mktemp -d "${TMPDIR:-/tmp}/tervik-package.XXXXXX")
trap 'rm -rf "$out"' EXIT
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    exit 1
fi
deb=$(ls "$out"/tervik_*.deb)
dpkg-deb -c "$deb" >"$out/files"
fail=0
for path in ./usr/lib/clap/Tervik.clap ./usr/bin/tervik-host; do
    if ! grep -q " $path\$" "$out/files"; then
        echo "missing $path in $deb:"
        cat "$out/files"
        fail=1
    fi
done
# The plug-in is a library: readable, not executable.
grep " ./usr/lib/clap/Tervik.clap\$" "$out/files" | grep -q '^-rw-r--r--' || { echo "Tervik.clap is not 0644"; fail=1; }
depends=$(dpkg-deb -f "$deb" Depends)
for pkg in libc6 libstdc++6 libx11-6 libglx0 libsndfile1; do
    case "$depends" in
    *"$pkg"*) ;;
    *) echo "Depends lacks $pkg: $depends"; fail=1 ;;
    esac
done
[ "$(dpkg-deb -f "$deb" Package)" = tervik ] || { echo "package name"; fail=1; }
exit $fail
