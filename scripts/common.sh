# Shared by the scripts: package installation, the Wine environment, the two builds.
# Source it; it does not run anything by itself.

VT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VT_BUILD=${VT_BUILD:-$VT_ROOT/build}

VT_PACKAGES=(cmake ninja-build g++ googletest mingw-w64 g++-mingw-w64-x86-64-posix
             gcc-mingw-w64-x86-64-posix wine wine64 xvfb xdotool x11-utils imagemagick
             fonts-nanum nginx-light curl python3 iproute2 procps nftables locales
             libssl-dev openssl clang libclang-rt-14-dev)

vt_install_packages() {
    local missing=()
    for p in "${VT_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
    # Wine takes the code page from LC_ALL (949) and converts Korean file names with the
    # locale's charset, so the locale must really exist.
    if ! locale -a 2>/dev/null | grep -qi '^ko_KR\.utf-\?8$'; then
        echo "Generating the ko_KR.UTF-8 locale"
        grep -q '^ko_KR.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null ||
            echo 'ko_KR.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
        $sudo locale-gen ko_KR.UTF-8 >/dev/null
    fi
}

# Wine: Korean code page, no Mono/Gecko prompts, a prefix of our own, quiet.
# Needs a display first (vt_display): the services it starts bind to the display of the moment.
vt_wine_env() {
    export WINEPREFIX=${WINEPREFIX:-$VT_BUILD/wineprefix}
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export LC_ALL=ko_KR.UTF-8
    export WINEARCH=win64
    mkdir -p "$WINEPREFIX"
    # Set the prefix up first: waiting for a persistent wineserver to end would never return.
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w 2>/dev/null || true
    fi
    # One persistent wineserver, so each test binary starts in about a second.
    wineserver -p >/dev/null 2>&1 || true
    # Start Wine's background services now, with no terminal or pipe of ours: started by the
    # first test, they would inherit its output pipe and keep ctest waiting for ever.
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
}

# A display for the windows: the user's when there is one, else a private Xvfb.
vt_display() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return 0
    fi
    local n=99
    while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    VT_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && return 0; sleep 0.1; done
    echo "Xvfb did not start" >&2
    return 1
}

vt_build_native() {
    cmake -S "$VT_ROOT" -B "$VT_BUILD/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
    cmake --build "$VT_BUILD/native"
}

# The Windows build; extra arguments go to CMake (for example -DVT_PATCH_HOST=127.0.0.1:18080).
vt_build_win() {
    local dir=$1
    shift
    cmake -S "$VT_ROOT" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$VT_ROOT/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    cmake --build "$dir"
}

# The fuzz build (fuzz/): clang with libFuzzer, AddressSanitizer and UBSan, targets only.
vt_build_fuzz() {
    cmake -S "$VT_ROOT" -B "$VT_BUILD/fuzz" -G Ninja -DCMAKE_C_COMPILER=clang \
        -DCMAKE_CXX_COMPILER=clang++ -DVT_FUZZ=ON -DVT_SANITIZE=OFF -DVT_BUILD_TESTS=OFF >/dev/null
    cmake --build "$VT_BUILD/fuzz" -j2 --target fuzz_all
}

# Runs every fuzz target for $1 seconds from its seeds (fuzz/corpus/<name>), growing the corpus
# $VT_BUILD/fuzz/<$2, default corpus>/<name>; one line per target: executions and findings (an
# input that breaks a property lands in $VT_BUILD/fuzz/findings/). Non-zero after a finding.
vt_run_fuzz() {
    local seconds=$1 corpus="$VT_BUILD/fuzz/${2:-corpus}" status=0 src name log pid rc execs
    # Profile writes flush to disk: on tmpfs the targets run several times faster.
    if [ -z "${VT_FUZZ_TMP:-}" ] && [ -w /dev/shm ]; then
        export VT_FUZZ_TMP=/dev/shm
    fi
    mkdir -p "$VT_BUILD/fuzz/findings" "$VT_BUILD/fuzz/logs"
    for src in "$VT_ROOT"/fuzz/*_fuzz.cpp; do
        name=$(basename "$src" _fuzz.cpp)
        log="$VT_BUILD/fuzz/logs/$name.log"
        mkdir -p "$corpus/$name"
        rc=0
        "$VT_BUILD/fuzz/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=10 \
            -print_final_stats=1 -artifact_prefix="$VT_BUILD/fuzz/findings/$name-" \
            "$corpus/$name" "$VT_ROOT/fuzz/corpus/$name" >"$log" 2>&1 &
        pid=$!
        wait "$pid" || rc=$?
        rm -rf "${VT_FUZZ_TMP:-/tmp}/vt-fuzz-$pid"
        execs=$(awk '/^stat::number_of_executed_units:/ { n = $2 }
                     /^#[0-9]+/ { if (!n) m = substr($1, 2) }
                     END { print n ? n : m + 0 }' "$log")
        if [ "$rc" -eq 0 ]; then
            printf '  %-12s %10s execs in %s s, no findings\n' "$name" "$execs" "$seconds"
        else
            status=1
            printf '  %-12s %10s execs, FINDING: %s\n' "$name" "$execs" \
                "$(grep -m1 -E '== property broken|ERROR: |runtime error|deadly signal' "$log")"
            { grep -m1 '^   ' "$log"; grep -m1 'Test unit written to' "$log"; } |
                sed 's/^ */               /' || true
            echo "               log: $log"
        fi
    done
    return $status
}
