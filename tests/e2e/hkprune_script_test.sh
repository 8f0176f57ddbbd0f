#!/usr/bin/env bash
# scripts/hkprune around a build that a stand-in cmake plays: it runs the program only after a
# build that worked, says on standard error when it builds, and installs nothing when the build
# tools are there.
#   hkprune_script_test.sh <source directory>
set -euo pipefail
src=$(realpath "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/root/scripts" "$dir/bin"
cp "$src/scripts/hkprune" "$src/scripts/install-deps" "$dir/root/scripts/"
# The build tools, and a system where no package but the build's libraries is installed and
# apt-get is noted.
cat >"$dir/bin/cmake" <<'EOF'
#!/bin/sh
if [ "$1" = --preset ]; then
    mkdir -p build/release/bin && : >build/release/build.ninja
    printf '#!/bin/sh\necho ran\n' >build/release/bin/hkprune && chmod +x build/release/bin/hkprune
fi
[ -z "$BUILD_OUTPUT" ] || printf '%s\n' "$BUILD_OUTPUT"
exit "${BUILD_STATUS:-0}"
EOF
printf '#!/bin/sh\necho apt-get >>"%s/apt"\n' "$dir" >"$dir/bin/apt-get"
cat >"$dir/bin/dpkg-query" <<'EOF'
#!/bin/sh
for p; do :; done
case $p in libssl-dev | libssh-dev | libcli11-dev | nlohmann-json3-dev) printf 'install ok installed'; exit 0 ;; esac
exit 1
EOF
for tool in ninja g++; do printf '#!/bin/sh\n' >"$dir/bin/$tool"; done
chmod +x "$dir"/bin/*
export PATH="$dir/bin:$PATH"

status=0
# expect <expected output> <expected error output, a pattern> [<variable>=<value>...]
expect() {
    local out err
    out=$(env "${@:3}" "$dir/root/scripts/hkprune" 2>"$dir/err") || true
    err=$(<"$dir/err")
    # shellcheck disable=SC2053 # the expected error output is a pattern
    if [[ $out != "$1" || $err != $2 ]]; then
        echo "FAIL (${*:3}): out <$out>, expected <$1>; err <$err>, expected <$2>" >&2
        status=1
    fi
}
building='scripts/hkprune: building hkprune in *'
expect ran "$building" # the first build
[ ! -e "$dir/apt" ] || {
    echo "FAIL: apt-get ran with every build tool there: $(<"$dir/apt")" >&2
    status=1
}
expect ran "" BUILD_OUTPUT='ninja: no work to do.'
expect ran "$building" BUILD_OUTPUT='[1/2] Building CXX object a.o'
expect "" "$building"*'building hkprune failed'* BUILD_OUTPUT='[1/2] Building CXX object a.o' \
    BUILD_STATUS=1
rm -f "$dir/root/build/hkprune-build.log" && mkdir "$dir/root/build/hkprune-build.log"
expect "" '*cannot write the build log*nothing was built'
exit "$status"
