#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-sanitize/ and runs the modules' own tests and the hostile-input fuzz
# test against that build.  Any sanitizer report ends the run with a non-zero
# status.
#
#   scripts/sanitize.sh                  # PYTHON=python3, 3000 fuzz iterations
#   PYTHON=.venv/bin/python QUORVAEMG_FUZZ_ITERATIONS=500 scripts/sanitize.sh
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
BUILD=${SANITIZE_BUILD_DIR:-build-sanitize}
SANITIZE="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

# The release install builds in an isolated environment, so the build tools
# may be missing from this one.
"$PYTHON" -m pybind11 --cmakedir >/dev/null 2>&1 ||
    "$PYTHON" -m pip install --quiet "pybind11>=2.13,<3"
command -v cmake >/dev/null 2>&1 || "$PYTHON" -m pip install --quiet cmake

cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE= \
    -DCMAKE_CXX_FLAGS="-O1 -g $SANITIZE" \
    -DCMAKE_MODULE_LINKER_FLAGS="$SANITIZE" \
    -DSKBUILD_PROJECT_NAME=quorvaemg \
    -DSKBUILD_PROJECT_VERSION="$(sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)" \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
    -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$BUILD" --parallel "${SANITIZE_JOBS:-2}"
# The gait package's Python part beside its sanitized core.
cp -R python/quorvaemg_gait/. "$BUILD/quorvaemg_gait/"

# CPython itself is not built with the sanitizers: its own allocations at
# exit are not leaks of ours.  ezc3d frees new[] arrays with free(); that
# mismatch is its own and is the only report switched off.
export ASAN_OPTIONS="detect_leaks=0:alloc_dealloc_mismatch=0:halt_on_error=1:abort_on_error=0:exitcode=86:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export PYTHONPATH="$PWD/$BUILD${PYTHONPATH:+:$PYTHONPATH}"
export QUORVAEMG_FUZZ_ITERATIONS=${QUORVAEMG_FUZZ_ITERATIONS:-3000}

# The sanitized modules, not installed ones, must be under test.
for module in quorvaemg quorvaemg_gait._core; do
    "$PYTHON" -c "import sys, importlib; sys.exit(not importlib.import_module('$module').__file__.startswith('$PWD/$BUILD/'))"
done

# --capture=sys leaves file descriptor 2 alone, so a report printed just
# before the process ends is not lost with pytest's capture file.
"$PYTHON" -m pytest -q -p no:cacheprovider --capture=sys \
    tests/test_module.py tests/test_rms.py tests/test_processing.py tests/test_preview.py \
    tests/test_config.py tests/test_hostile_inputs.py tests/test_gait_core.py tests/test_marker_events.py \
    tests/test_trial_events.py tests/test_compare_core.py tests/test_lab_reference.py \
    tests/test_synergies.py
