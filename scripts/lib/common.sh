# Shared by the scripts: installing missing Debian packages and timing stages.

# ensure_packages PKG...: installs the packages that are missing. As root it
# runs apt-get (after apt-get update); otherwise it prints the command to run
# and stops.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    echo "== installing: ${missing[*]}"
    # Another installer may hold the lock for a while; wait for it.
    local i
    for i in $(seq 1 60); do
        if DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
            return 0
        fi
        echo "apt-get failed; retrying in 5 s" >&2
        sleep 5
    done
    echo "could not install: ${missing[*]}" >&2
    exit 1
}

# stage NAME COMMAND...: runs a command and prints how long it took.
stage() {
    local name=$1
    shift
    local start=$SECONDS
    echo "== stage $name"
    "$@"
    echo "== stage $name done in $((SECONDS - start)) s"
}

# preset_build_and_test NAME: configure, build and test one CMake preset.
preset_build_and_test() {
    cmake --preset "$1" && cmake --build --preset "$1" && ctest --preset "$1"
}

# check_format: every C++ file under version control is as clang-format wants.
check_format() {
    git ls-files -z '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror
}
