# Sourced by the tools: checks that what .ci/setup installs is there, and fails with a
# one-line hint when it is not. The tools install nothing themselves.

# need_fail WHAT: reports WHAT is missing and exits.
need_fail() {
    echo "$(basename "$0"): $* missing: run .ci/setup" >&2
    exit 1
}

# need_modules PYTHON MODULE...: each MODULE importable by PYTHON.
need_modules() {
    local py=$1 missing
    shift
    missing=$("$py" -c 'import importlib.util, sys
print(" ".join(m for m in sys.argv[1:] if importlib.util.find_spec(m) is None))' "$@" 2>/dev/null) \
        || need_fail "$py:"
    [ -z "$missing" ] || need_fail "$("$py" -c 'import sys; print(sys.executable)'): $missing"
}

# need_numpy2 PYTHON: PYTHON has NumPy 2 or later, whose headers the build needs.
need_numpy2() {
    "$1" -c "import numpy, sys; sys.exit(int(numpy.__version__.split('.')[0]) < 2)" 2>/dev/null \
        || need_fail "$1: NumPy >= 2"
}

# need_commands COMMAND...: each COMMAND on the PATH.
need_commands() {
    local c
    for c in "$@"; do
        command -v "$c" >/dev/null || need_fail "$c"
    done
}

# need_gtest: GoogleTest's headers, for the C++ tests.
need_gtest() {
    [ -e /usr/include/gtest/gtest.h ] || need_fail "GoogleTest (libgtest-dev)"
}
