# Sourced by .ci/run.
#   step NAME COMMAND...   runs one step in the foreground and prints its wall
#                          time as it ends;
#   background NAME COMMAND...  queues a build for the background chain: one
#                          build after another at the lowest CPU priority, so
#                          that they use what the foreground's tests leave;
#   await NAME             waits for a queued build (its log on failure);
#   step_summary           prints every step's time and the total.
ci_started=$(date +%s)
ci_names=()
ci_secs=()
ci_current=
ci_dir=build/ci
rm -rf "$ci_dir" && mkdir -p "$ci_dir"
ci_bg_names=()
ci_bg_cmds=()
ci_bg_pid=
ci_clock() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }
ci_elapsed() { ci_clock $(($(date +%s) - ci_started)); }
# A step that fails is marked and the later steps still run, so that one run
# tells everything that fails; the run's exit code is then 1.
ci_failed=()
step() {
  ci_current=$1
  shift
  local t0 rc=0 verdict=passed
  t0=$(date +%s)
  echo "=== [ci] $ci_current: $* (at $(ci_elapsed))"
  # The step's output is kept too: what failed is printed again at the end,
  # where a reader of only the last part of a long log still sees it.
  (
    r=0
    "$@" 2>&1 || r=$?
    echo "$r" >"$ci_dir/$ci_current.step-rc"
  ) | tee "$ci_dir/$ci_current.step-log" || true
  rc=$(cat "$ci_dir/$ci_current.step-rc" 2>/dev/null || echo 1)
  local dt=$(($(date +%s) - t0))
  if [ "$rc" != 0 ]; then
    verdict="FAILED (exit $rc)"
    ci_failed+=("$ci_current")
  fi
  ci_names+=("$ci_current")
  ci_secs+=("$dt $verdict")
  echo "=== [ci] $ci_current: $verdict in $(ci_clock "$dt") (total $(ci_elapsed))"
  ci_current=
}
background() {
  ci_bg_names+=("$1")
  shift
  ci_bg_cmds+=("$*")
}
# Starts the queued builds, in order, each logged to build/ci/NAME.log; its
# exit code and wall time go to NAME.rc and NAME.time when it ends.
background_start() {
  local names=("${ci_bg_names[@]}") cmds=("${ci_bg_cmds[@]}")
  (
    for i in "${!names[@]}"; do
      t0=$(date +%s)
      rc=0
      nice -n 19 bash -c "${cmds[$i]}" >"$ci_dir/${names[$i]}.log" 2>&1 </dev/null || rc=$?
      echo $(($(date +%s) - t0)) >"$ci_dir/${names[$i]}.time"
      echo "$rc" >"$ci_dir/${names[$i]}.rc"
    done
  ) &
  ci_bg_pid=$!
}
await() {
  local name=$1 t0
  t0=$(date +%s)
  while [ ! -f "$ci_dir/$name.rc" ]; do
    if ! kill -0 "$ci_bg_pid" 2>/dev/null && [ ! -f "$ci_dir/$name.rc" ]; then
      echo "=== [ci] background build $name never ended"
      return 1
    fi
    sleep 2
  done
  local rc
  rc=$(cat "$ci_dir/$name.rc")
  echo "=== [ci] background build $name: $(ci_clock "$(cat "$ci_dir/$name.time")") of building, waited $(ci_clock $(($(date +%s) - t0))) for it, exit $rc"
  if [ "$rc" != 0 ]; then
    tail -n 60 "$ci_dir/$name.log"
    return 1
  fi
}
# The lines of a failed step's log that say what failed: CTest's list,
# GoogleTest's failures with the lines that follow them, sanitizer reports,
# TAP's "not ok", a background build's errors; then the log's last lines.
ci_failure_excerpt() {
  local log=$ci_dir/$1.step-log
  [ -f "$log" ] || return 0
  echo "=== [ci] what failed in $1 (from build/ci/$1.step-log):"
  grep -E -A8 ': Failure$|^\[  FAILED  \]|^The following tests FAILED|Sanitizer|runtime error:|^ *not ok |\*\*\*(Failed|Timeout|Exception)|error:|never ended' "$log" |
    grep -v -E '^\[ +(OK|RUN) +\]' | head -n 120 | sed 's/^/  | /'
  echo "=== [ci] the last lines of $1:"
  tail -n 15 "$log" | sed 's/^/  | /'
}
step_summary() {
  local i
  for i in "${ci_failed[@]}"; do ci_failure_excerpt "$i"; done
  echo "=== [ci] step times (wall; background builds overlap the steps)"
  for i in "${!ci_names[@]}"; do
    printf '=== [ci]   %-12s %7s %s\n' "${ci_names[$i]}" "$(ci_clock "${ci_secs[$i]%% *}")" \
      "${ci_secs[$i]#* }"
  done
  [ -z "$ci_current" ] || printf '=== [ci]   %-12s stopped\n' "$ci_current"
  for i in "${ci_bg_names[@]}"; do
    [ -f "$ci_dir/$i.time" ] && printf '=== [ci]   (background) %-12s %7s\n' "$i" "$(ci_clock "$(cat "$ci_dir/$i.time")")"
  done
  echo "=== [ci] total $(ci_elapsed)"
  if ((${#ci_failed[@]})); then
    echo "=== [ci] failed: ${ci_failed[*]}"
    return 1
  fi
}
ci_kill_tree() {
  local child
  for child in $(pgrep -P "$1" 2>/dev/null); do ci_kill_tree "$child"; done
  kill "$1" 2>/dev/null || true
}
# after NAME COMMAND...: waits for the background build NAME, then runs COMMAND.
after() {
  await "$1" || return 1
  shift
  "$@"
}
ci_exit() {
  local rc=$?
  [ -z "$ci_bg_pid" ] || ci_kill_tree "$ci_bg_pid"
  [ -z "$ci_current" ] || step_summary
  return $rc
}
trap ci_exit EXIT
