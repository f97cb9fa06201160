#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ into build-fuzz/ and runs each for a bounded time.
#   scripts/fuzz.sh [seconds]   total fuzzing time, shared evenly by the targets (default 60)
#   FUZZ_MERGE=1 scripts/fuzz.sh [seconds]
#                               afterwards folds what the runs found into fuzz/corpus/,
#                               minimised with -merge=1: finds up to MERGE_MAX_BYTES (512)
#                               bytes, at most MERGE_MAX_FILES (150) files in all; the
#                               hand-written seed-* and defect-* files always stay
#   POSKAVELIN_FUZZ_STRICT=1    known settings-file defects fail too (see fuzz/fuzz_ini.cpp)
# Runs start from a temporary copy of fuzz/corpus/<target>, so the repository only grows
# when asked to. A crash, leak, timeout or failed build counts as a failure; the last line
# is "fuzz: N passed, M failed" and the exit status is non-zero on any failure.
set -uo pipefail

SELF=$(realpath "${BASH_SOURCE[0]}")
readonly SELF
cd "$(dirname "$SELF")/.." || exit 2
readonly ROOT=$PWD
readonly TOTAL_SECONDS=${1:-60}
readonly BUILD_DIR=$ROOT/build-fuzz
readonly TARGETS=(fuzz_ini fuzz_address_checks fuzz_shaper)
readonly CXX=${CXX_FUZZ:-clang++}
readonly MERGE_MAX_BYTES=${MERGE_MAX_BYTES:-512}
readonly MERGE_MAX_FILES=${MERGE_MAX_FILES:-150}

[[ $TOTAL_SECONDS =~ ^[0-9]+$ && $TOTAL_SECONDS -gt 0 ]] || {
    echo "usage: $0 [seconds]" >&2
    exit 2
}

sources_of() {
    case $1 in
        fuzz_ini) echo src/settings/ini_read.cpp src/settings/ini_write.cpp src/settings/linux/ini_file.cpp ;;
        fuzz_address_checks) echo src/dvr/address_checks.cpp src/platform/ip_address.cpp ;;
        fuzz_shaper) echo src/shaping/*.cpp src/settings/setting_numbers.cpp src/dvr/address_checks.cpp \
            src/platform/ip_address.cpp ;;
    esac
}

as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    else
        sudo -n "$@"
    fi
}

# clang with its libFuzzer and sanitizer runtimes, and QtCore to link the code under test.
ensure_tools() {
    local missing=()
    for pkg in clang libclang-rt-14-dev qt6-base-dev pkg-config; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    ((${#missing[@]} == 0)) && return 0
    echo "fuzz: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    as_root timeout 900 apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null ||
        { as_root timeout 300 apt-get update >/dev/null &&
            as_root timeout 900 apt-get install -y --no-install-recommends "${missing[@]}" \
                >/dev/null; }
}

# Rebuilt only when a source, header or this script is newer than the binary. Qt's
# headers come in as system headers so that the warnings left are our own.
build() {
    local target=$1 out=$BUILD_DIR/$1 qt_cflags qt_libs sources stale=0
    read -ra sources <<<"$(sources_of "$target")"
    local inputs=("fuzz/$target.cpp" "${sources[@]}")
    for f in "${inputs[@]}" src/settings/ini.h src/settings/setting_numbers.h src/dvr/address_checks.h src/shaping/*.h "$SELF"; do
        [[ -x $out && ! $f -nt $out ]] || stale=1
    done
    ((stale)) || return 0
    qt_cflags=$(pkg-config --cflags Qt6Core Qt6Network | sed 's/-I/-isystem /g')
    qt_libs=$(pkg-config --libs Qt6Core Qt6Network)
    echo "fuzz: building $target"
    # shellcheck disable=SC2086
    timeout 600 "$CXX" -std=c++20 -g -O1 -fPIC -Wall -Wextra -Wpedantic -Werror \
        -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -fno-omit-frame-pointer -Isrc $qt_cflags "${inputs[@]}" $qt_libs -o "$out"
}

stat_of() {
    sed -n "s/^stat::$2: *//p" "$1" | tail -n1
}

# Only small finds are kept, and the smallest first, so the folder stays readable and
# under MERGE_MAX_FILES; the hand-written seed-* and defect-* files always stay.
merge_corpus() {
    local target=$1 name=$2 found=$3 merged small
    merged=$work/merged-$name
    small=$work/small-$name
    mkdir -p "$merged" "$small"
    find "fuzz/corpus/$name" -maxdepth 1 -type f \( -name 'seed-*' -o -name 'defect-*' \) \
        -exec cp {} "$merged"/ \;
    find "$found" -maxdepth 1 -type f -size -"$((MERGE_MAX_BYTES + 1))"c -exec cp {} "$small"/ \;
    if ! TMPDIR=$scratch_parent timeout 300 "$BUILD_DIR/$target" -merge=1 -timeout=10 \
        -max_len="$MERGE_MAX_BYTES" "$merged" "$small" >"$BUILD_DIR/$target.merge.log" 2>&1; then
        echo "fuzz: $target: merge failed; log $BUILD_DIR/$target.merge.log"
        return 0
    fi
    local seeds keep
    seeds=$(find "$merged" -maxdepth 1 -type f \( -name 'seed-*' -o -name 'defect-*' \) | wc -l)
    keep=$((MERGE_MAX_FILES > seeds ? MERGE_MAX_FILES - seeds : 0))
    # libFuzzer names its finds by their SHA-1, so the names hold no blanks.
    find "$merged" -maxdepth 1 -type f ! -name 'seed-*' ! -name 'defect-*' -printf '%s %p\n' |
        sort -n | tail -n +"$((keep + 1))" | cut -d' ' -f2- | xargs -r rm -f
    rm -rf "fuzz/corpus/$name" && cp -r "$merged" "fuzz/corpus/$name"
    echo "fuzz: $target: corpus now $(find "fuzz/corpus/$name" -type f | wc -l) files," \
        "$(du -sk "fuzz/corpus/$name" | cut -f1) KiB"
}

passed=0
failed=0
started=$SECONDS
mkdir -p "$BUILD_DIR"
ensure_tools || { echo "fuzz: 0 passed, ${#TARGETS[@]} failed"; exit 1; }

per_target=$((TOTAL_SECONDS / ${#TARGETS[@]}))
((per_target > 0)) || per_target=1
work=$(mktemp -d "${TMPDIR:-/tmp}/poskavelin-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The settings target writes a file per input; a memory-backed folder keeps fsync cheap.
scratch_parent=/dev/shm
[[ -d $scratch_parent && -w $scratch_parent ]] || scratch_parent=$work

export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:print_stacktrace=1:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$ROOT/fuzz/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

for target in "${TARGETS[@]}"; do
    name=${target#fuzz_}
    if ! build "$target"; then
        echo "fuzz: $target: build failed"
        ((failed++))
        continue
    fi
    corpus=$work/corpus-$name
    artifacts=$BUILD_DIR/artifacts/$name
    log=$BUILD_DIR/$target.log
    rm -rf "$artifacts"
    mkdir -p "$corpus" "$artifacts"
    cp -r fuzz/corpus/"$name"/. "$corpus"/
    scratch=$(mktemp -d "$scratch_parent/poskavelin-fuzz-tmp.XXXXXX")
    dict=()
    [[ -f fuzz/$name.dict ]] && dict=(-dict="fuzz/$name.dict")
    # The outer timeout only catches a fuzzer that stops honouring its own limits.
    TMPDIR=$scratch timeout $((per_target + 120)) "$BUILD_DIR/$target" "${dict[@]}" \
        -max_total_time="$per_target" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
    status=$?
    rm -rf "$scratch"
    execs=$(stat_of "$log" number_of_executed_units)
    rate=$(stat_of "$log" average_exec_per_sec)
    added=$(stat_of "$log" new_units_added)
    sed -n "s/^$target: known defect/fuzz: $target: known defect/p" "$log"
    if ((status == 0)); then
        echo "fuzz: $target: ok, ${execs:-?} runs, ${rate:-?} runs/s, ${added:-?} new inputs" \
            "in ${per_target} s"
        ((passed++))
    else
        echo "fuzz: $target: FAILED (exit $status); log $log, inputs in $artifacts/"
        awk '/^(==[0-9]+==ERROR|SUMMARY|fuzz_ini:|fuzz_shaper:|IsValidIP|IsDigitsOnly|address model|digits model)/ \
             { show = 1; print; next } show && /^  / { print; next } { show = 0 }' "$log" |
            head -n 30
        ((failed++))
    fi
    if [[ ${FUZZ_MERGE:-0} == 1 && $status -eq 0 ]]; then
        merge_corpus "$target" "$name" "$corpus"
    fi
done

echo "fuzz: $((SECONDS - started)) s in all"
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
