#!/usr/bin/env bash
# Compiles every C++ source of the extension for 64-bit Windows with the
# mingw-w64 cross compiler, against CPython's Windows headers, and fails on
# any error or warning.  No Windows machine is needed; it keeps the sources
# honest for MSVC where that can be checked here: Windows' headers instead of
# POSIX ones, and no POSIX-only header included.
#
#   scripts/check_windows_build.sh [CPYTHON_SOURCE_DIR]
#
# Needs:
#   - x86_64-w64-mingw32-g++-posix (Debian: apt-get install g++-mingw-w64-x86-64),
#     the variant with std::mutex and std::thread, as MSVC has them
#   - pybind11 2.x, the version the build uses: taken from python3 (or
#     PYTHON=/path/to/python) when it has one, else installed with pip into
#     build/windows-check/
#   - CPython's headers for Windows: Include/ and PC/pyconfig.h of a CPython
#     source tree.  Given CPYTHON_SOURCE_DIR, that tree is used.  Without it,
#     as root on Debian, the script adds a deb-src entry for apt, downloads the
#     python3.11 source package (apt-get source --download-only) and unpacks
#     those headers into build/windows-check/; later runs reuse them.
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=${CXX_MINGW:-x86_64-w64-mingw32-g++-posix}
PYTHON=${PYTHON:-python3}
WORK=build/windows-check
# Headers of POSIX systems that MSVC does not have (mingw-w64 has some of them).
POSIX_ONLY='unistd|dirent|pthread|fnmatch|glob|libgen|strings|dlfcn|termios|poll|sys/(time|mman|wait|socket|select|resource|utsname|uio)|netinet/[a-z_]+|arpa/inet'

fail() { echo "windows check: $*" >&2; exit 1; }

command -v "$CXX" >/dev/null || fail "$CXX not found (Debian: apt-get install g++-mingw-w64-x86-64)"
pybind11_include() {
    "$PYTHON" -c "import pybind11; assert pybind11.version_info[0] == 2; print(pybind11.get_include())" \
        2>/dev/null
}
if ! PYBIND11_INCLUDE=$(pybind11_include || PYTHONPATH=$WORK/pybind11 pybind11_include); then
    "$PYTHON" -m pip install --quiet --target "$WORK/pybind11" "pybind11>=2.13,<3" ||
        fail "no pybind11 2.x for $PYTHON, and pip could not install one"
    PYBIND11_INCLUDE=$(PYTHONPATH=$WORK/pybind11 pybind11_include) || fail "pybind11 2.x not importable"
fi

fetch_cpython_headers() {
    local dest=$1
    [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null ||
        fail "no CPython source tree given, and fetching one needs root and apt-get; pass CPYTHON_SOURCE_DIR"
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
    local list=/etc/apt/sources.list.d/quorvaemg-deb-src.sources
    if ! grep -rqs "deb-src" /etc/apt/sources.list /etc/apt/sources.list.d/; then
        echo "windows check: adding a deb-src entry for apt ($list)"
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$codename" "$codename" >"$list"
    fi
    apt-get update -qq
    local download
    download=$(mktemp -d)
    (cd "$download" && apt-get source -qq --download-only python3.11 >/dev/null)
    local tarball
    tarball=$(ls "$download"/python3.11_*.orig.tar.*)
    mkdir -p "$dest"
    tar -xf "$tarball" -C "$dest" --strip-components=1 --wildcards '*/Include' '*/PC/pyconfig.h'
    rm -rf "$download"
}

if [ $# -ge 1 ]; then
    CPYTHON=$1
else
    CPYTHON=$WORK/cpython
    [ -f "$CPYTHON/PC/pyconfig.h" ] || fetch_cpython_headers "$CPYTHON"
fi
[ -f "$CPYTHON/PC/pyconfig.h" ] && [ -f "$CPYTHON/Include/Python.h" ] ||
    fail "$CPYTHON has no Include/Python.h and PC/pyconfig.h"

status=0
if grep -nE "#[[:space:]]*include[[:space:]]*<($POSIX_ONLY)\.h>" -r src; then
    echo "windows check: the includes above are POSIX-only (MSVC has none of them)"
    status=1
fi

# As the Windows build compiles them: C++17 and the project's warnings; each
# source on its own, so one that leans on another's includes is caught too.
# pybind11 marks its namespace hidden only for GCC and Clang; MSVC knows no
# visibility, so the check takes pybind11's namespace as MSVC sees it.
compile() {
    "$CXX" -std=c++17 -fsyntax-only -Wall -Wextra -pedantic -Werror -ffp-contract=off \
        -DPYBIND11_NAMESPACE=pybind11 -Isrc -isystem "$PYBIND11_INCLUDE" \
        -isystem "$CPYTHON/Include" -isystem "$CPYTHON/PC" "$1" ||
        { echo "windows check: FAILED $1"; return 1; }
}
export -f compile
export CXX PYBIND11_INCLUDE CPYTHON
sources=$(find src -name '*.cpp' | sort)
echo "$sources" | xargs -P "$(nproc)" -n 1 bash -c 'compile "$0"' || status=1
count=$(echo "$sources" | wc -l)

if [ $status = 0 ]; then
    echo "windows check: $count sources compiled for win64 ($("$CXX" -dumpversion), CPython headers from $CPYTHON) with no error and no warning"
fi
exit $status
