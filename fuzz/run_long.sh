#!/bin/bash
# Long fuzzing run of the file targets: each target runs for SECONDS at the
# lowest priority, JOBS targets at a time, with its corpus, crashes and log
# kept in OUT/<target> (outside the source tree) so that a later run goes on
# from what this one found. Prints the executions of each target at the end,
# with the failures found (crash-, leak-, timeout- and oom- files; slow-unit
# files only mark inputs that took long, often just a busy machine).
#
#   fuzz/run_long.sh BUILD_FUZZ_DIR OUT [SECONDS=3600] [JOBS=1] [TARGET...]
set -u
build=$(cd "$1" && pwd) || exit 2
out=$2
secs=${3:-3600}
jobs=${4:-1}
shift $(($# < 4 ? $# : 4))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(epc_config_fuzz epc_drnu_images_fuzz epc_drnu_param_fuzz epc_defect_fuzz
           calib_split_fuzz epc_gray_fuzz epc_flim_fuzz recording_fuzz view_request_fuzz)
fi
mkdir -p "$out" && out=$(cd "$out" && pwd) || exit 2
seeds=$build/fuzz/file_seeds

run_one() {
  local t=$1 dir=$out/$1
  mkdir -p "$dir/corpus" "$dir/crashes"
  nice -n 19 "$build/fuzz/$t" -max_total_time="$secs" -max_len=16384 -print_final_stats=1 \
    -artifact_prefix="$dir/crashes/" "$dir/corpus" "$seeds/$t" >"$dir/log.txt" 2>&1
}

for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  run_one "$t" &
done
wait

printf '%-22s %14s %10s %s\n' target executions exec/s failures
for t in "${targets[@]}"; do
  log=$out/$t/log.txt
  n=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  r=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log")
  c=$(find "$out/$t/crashes" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' \) | wc -l)
  printf '%-22s %14s %10s %s\n' "$t" "${n:-?}" "${r:-?}" "$c"
done
