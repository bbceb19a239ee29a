# Shared by the scripts: package installation, the Wine environment, the two builds.
# Source it; it does not run anything by itself.

VT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VT_BUILD=${VT_BUILD:-$VT_ROOT/build}

VT_PACKAGES=(cmake ninja-build g++ googletest mingw-w64 g++-mingw-w64-x86-64-posix
             gcc-mingw-w64-x86-64-posix wine wine64 xvfb xdotool x11-utils imagemagick
             fonts-nanum nginx-light curl python3 iproute2 procps nftables locales
             libssl-dev openssl osslsigncode clang libclang-rt-14-dev
             apache2 lighttpd caddy busybox squid rclone)

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
    vt_korean_locale
}

# Wine takes the code page from LC_ALL (949) and converts Korean file names with the locale's
# charset, so the locale must really load; a shell told to use one that does not load warns on
# every start, so it is made before anything exports it.
vt_has_korean_locale() {
    [ "$(LC_ALL=ko_KR.UTF-8 locale charmap 2>/dev/null)" = "UTF-8" ]
}

vt_korean_locale() {
    vt_has_korean_locale && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    echo "Generating the ko_KR.UTF-8 locale"
    grep -q '^ko_KR.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null ||
        echo 'ko_KR.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo locale-gen >/dev/null
    vt_has_korean_locale || { echo "the ko_KR.UTF-8 locale does not load" >&2; return 1; }
}

# Wine: Korean code page, no Mono/Gecko prompts, a prefix of our own, quiet.
# Needs a display first (vt_display): the services it starts bind to the display of the moment.
vt_wine_env() {
    export WINEPREFIX=${WINEPREFIX:-$VT_BUILD/wineprefix}
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    vt_korean_locale || return 1
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

# The patch host a Windows build asks (its CMake cache), or $VT_BENCH_PATCH_HOST; benchmarks
# serve there. Fails, naming the benchmark $1, unless it is a loopback host:port.
vt_bench_patch_host() {
    local host=${VT_BENCH_PATCH_HOST:-$(sed -n 's/^VT_PATCH_HOST:[A-Z]*=//p' "$2/CMakeCache.txt")}
    case $host in
        127.*:*) echo "$host" ;;
        *) echo "$1: the build's patch host '$host' is not a loopback host:port;" \
                "build with -DVT_PATCH_HOST=127.0.0.1:18080 or set VT_BENCH_PATCH_HOST" >&2
           return 2 ;;
    esac
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

# One target's line of the summary from its log ($2) and exit status ($3): executions, what ran
# ($4), then no findings or the finding with its input (a relative path is under $5).
vt_fuzz_report() {
    local name=$1 log=$2 rc=$3 what=$4 base=${5:-} execs
    execs=$(awk '/^stat::number_of_executed_units:/ { n = $2 }
                 /^#[0-9]+/ { if (!n) m = substr($1, 2) }
                 END { print n ? n : m + 0 }' "$log")
    if [ "$rc" -eq 0 ]; then
        printf '  %-12s %10s execs %s, no findings\n' "$name" "$execs" "$what"
        return 0
    fi
    printf '  %-12s %10s execs %s, FINDING: %s\n' "$name" "$execs" "$what" \
        "$(grep -m1 -E '== property broken|ERROR: |runtime error|deadly signal' "$log")"
    { grep -m1 '^   ' "$log"; grep -m1 'Test unit written to' "$log"; } |
        sed -e 's/^ */               /' -e "s|written to \([^/]\)|written to $base/\1|" || true
    echo "               log: $log"
    return 1
}

# Profile writes flush to disk: on tmpfs the targets run several times faster.
vt_fuzz_tmp() {
    if [ -z "${VT_FUZZ_TMP:-}" ] && [ -w /dev/shm ]; then
        export VT_FUZZ_TMP=/dev/shm
    fi
}

# For developers: every fuzz target for $1 seconds from its seeds (fuzz/corpus/<name>), growing
# the corpus $VT_BUILD/fuzz/<$2, default corpus>/<name>; one line per target: executions and
# findings (an input that breaks a property lands in $VT_BUILD/fuzz/findings/). Time decides how
# far each gets, so two runs differ. Non-zero after a finding.
vt_run_fuzz() {
    local seconds=$1 corpus="$VT_BUILD/fuzz/${2:-corpus}" status=0 src name log pid rc
    vt_fuzz_tmp
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
        vt_fuzz_report "$name" "$log" "$rc" "in $seconds s" || status=1
    done
    return $status
}

# CI's fuzz step: the same commit gets the same verdict. Each target runs as one process with a
# fixed -seed and -runs over every file of fuzz/corpus/<name>/ (the seeds and every past
# finding), given by name in C order (-seed_inputs, so no directory order of the file system
# counts), into a corpus $VT_BUILD/fuzz/ci-corpus/<name> emptied first. What else reaches the
# coverage is held fixed too. Addresses: pointers the targets compare feed libFuzzer's table of
# compared values, so address randomisation is off, libFuzzer starts no thread of its own (its
# memory watch, -rss_limit_mb=0; its start may interleave with the first allocations), and
# neither libFuzzer nor ASan hands memory back on a timer (-purge_allocator_interval=-1,
# allocator_release_to_os_interval_ms=-1). The environment and the arguments, whose bytes sit
# on the stack: a fixed environment and paths relative to $VT_BUILD/fuzz. The scratch directory
# the targets write in: the same path every time. The monotonic clock and the process id:
# fuzz/Repeatable.cpp, preloaded. Runs are per target, about 10-20 s each on two cores; a
# target missing from the table gets the default. Arguments: only these targets.
VT_FUZZ_CI_SEED=1
VT_FUZZ_CI_DEFAULT_RUNS=100000
declare -gA VT_FUZZ_CI_RUNS=(
    [cp949]=50000 [entry_name]=120000 [http_head]=300000 [key_list]=300000 [manifest]=120000
    [number]=150000 [profile]=50000 [server_list]=150000 [set_sync]=20000
)

vt_check_fuzz() {
    local status=0 work="$VT_BUILD/fuzz" src name rc runs seeds inputs lockfd scratch stats
    local norandom=() TIMEFORMAT='%R %U %S'
    if setarch "$(uname -m)" -R true 2>/dev/null; then
        norandom=(setarch "$(uname -m)" -R)
    else
        echo "  address randomisation cannot be turned off here: two runs may differ"
    fi
    vt_fuzz_tmp
    local tmp=${VT_FUZZ_TMP:-/tmp}
    scratch="$tmp/vt-fuzz-ci"
    # One CI fuzz step at a time on a machine: they share the scratch directory's path.
    exec {lockfd}>"$tmp/vt-fuzz-ci.lock"
    if ! flock -w 1800 "$lockfd"; then
        echo "  another CI fuzz step held $tmp/vt-fuzz-ci.lock for 30 minutes"
        exec {lockfd}>&-
        return 1
    fi
    mkdir -p "$work/findings" "$work/logs"
    rm -rf "$work/ci-corpus" "$work/ci-seeds"
    for src in "$VT_ROOT"/fuzz/*_fuzz.cpp; do
        name=$(basename "$src" _fuzz.cpp)
        if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then
            continue
        fi
        runs=${VT_FUZZ_CI_RUNS[$name]:-$VT_FUZZ_CI_DEFAULT_RUNS}
        mkdir -p "$work/ci-corpus/$name" "$work/ci-seeds/$name"
        find "$VT_ROOT/fuzz/corpus/$name" -maxdepth 1 -type f -size +0 \
            -exec cp -t "$work/ci-seeds/$name" {} +
        # A comma-separated list: a comma in a name would split it.
        if find "$work/ci-seeds/$name" -name '*,*' | grep -q .; then
            echo "  $name: a seed's name holds ',' (fuzz/corpus/$name/)"
            status=1
            continue
        fi
        (cd "$work" && find "ci-seeds/$name" -type f | LC_ALL=C sort | paste -sd, | tr -d '\n') \
            >"$work/logs/$name.seeds"
        seeds=$(find "$work/ci-seeds/$name" -type f | wc -l)
        inputs=()
        [ "$seeds" -gt 0 ] && inputs=(-seed_inputs="@logs/$name.seeds")
        rm -rf "$scratch"
        rc=0
        (cd "$work" && { time env -i PATH=/usr/bin:/bin VT_FUZZ_SCRATCH="$scratch" \
            LD_PRELOAD=fuzz/libvt_fuzz_repeatable.so \
            ASAN_OPTIONS=allocator_release_to_os_interval_ms=-1 "${norandom[@]}" \
            "./fuzz/${name}_fuzz" -seed="$VT_FUZZ_CI_SEED" -runs="$runs" -reload=0 \
            -rss_limit_mb=0 -malloc_limit_mb=2048 -purge_allocator_interval=-1 -timeout=60 \
            -print_final_stats=1 -artifact_prefix="findings/$name-" \
            "${inputs[@]}" "ci-corpus/$name" >"logs/$name.log" 2>&1; } \
            2>"logs/$name.time") || rc=$?
        # libFuzzer skips a seed it cannot read without failing: every one must have run.
        if [ "$rc" -eq 0 ] && [ "$seeds" -gt 0 ] &&
            ! grep -q "seed corpus: files: $seeds " "$work/logs/$name.log"; then
            echo "  $name: not all $seeds seeds ran ($work/logs/$name.log)"
            status=1
        fi
        # What the run reached (the same in every run of a commit) and what it took.
        stats=$(awk '/DONE/ { for (i = 1; i < NF; ++i) if ($i ~ /^(cov|ft|corp):$/) s = s " " $i " " $(i + 1) }
                     END { print s }' "$work/logs/$name.log")
        vt_fuzz_report "$name" "$work/logs/$name.log" "$rc" \
            "($runs runs, seed $VT_FUZZ_CI_SEED, $seeds seeds,$stats) in $(
                awk '{ printf "%.1f s, CPU %.1f s", $1, $2 + $3 }' "$work/logs/$name.time")" \
            "$work" || status=1
    done
    rm -rf "$scratch"
    exec {lockfd}>&-
    return $status
}
