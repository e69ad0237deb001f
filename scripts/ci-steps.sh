# Sourced by .ci/run: `step NAME COMMAND...` runs one step and prints its wall
# time as it ends; `step_summary` prints every step's time and the total. A
# failing step stops the run (set -e), and the times so far are printed then.
ci_started=$(date +%s)
ci_names=()
ci_secs=()
ci_current=
ci_clock() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }
step() {
  ci_current=$1
  shift
  local t0
  t0=$(date +%s)
  echo "=== [ci] $ci_current: $*"
  "$@"
  local dt=$(($(date +%s) - t0))
  ci_names+=("$ci_current")
  ci_secs+=("$dt")
  echo "=== [ci] $ci_current: passed in $(ci_clock "$dt") (total $(ci_clock $(($(date +%s) - ci_started))))"
  ci_current=
}
step_summary() {
  local i
  echo "=== [ci] step times"
  for i in "${!ci_names[@]}"; do
    printf '=== [ci]   %-10s %7s\n' "${ci_names[$i]}" "$(ci_clock "${ci_secs[$i]}")"
  done
  [ -z "$ci_current" ] || printf '=== [ci]   %-10s FAILED\n' "$ci_current"
  echo "=== [ci] total $(ci_clock $(($(date +%s) - ci_started)))"
}
trap '[ -z "$ci_current" ] || step_summary' EXIT
