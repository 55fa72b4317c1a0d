#!/usr/bin/env bash
# Starts or stops the services the end-to-end tests run against: pcscd with the vpcd virtual
# reader driver, and kelm-cardsim serving a fresh simulated card in "Virtual PCD 00 00".
#
#   scripts/services.sh start    start them and wait until the reader shows the card
#   scripts/services.sh stop     stop exactly the processes that 'start' started
#   scripts/services.sh status   show what runs and what the readers hold
#   scripts/services.sh restart-pcscd   stop the pcscd that 'start' started and start it again,
#                                waiting until the reader shows the card (for the fault tests)
#
# Installs nothing (scripts/install-deps.sh does) and builds nothing: kelm-cardsim and
# kelm-tool are taken from KELM_BUILD_DIR (default build/default).
# The card is made from KELM_SIM_TYPE (default 1), KELM_SIM_PROTOCOL (T0 or T1, default T1)
# and KELM_SIM_PIN (default 12345678). Pids, logs and the card image live in KELM_SERVICES_DIR
# (default /tmp/kelm-services).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${KELM_BUILD_DIR:-$root/build/default}
state_dir=${KELM_SERVICES_DIR:-/tmp/kelm-services}
cardsim=$build_dir/sim/kelm-cardsim
tool=$build_dir/tools/kelm-tool/kelm-tool
vpcd_driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
vpcd_conf=/etc/reader.conf.d/vpcd
reader="Virtual PCD 00 00"
wait_seconds=${KELM_SERVICES_WAIT:-15}

say() { echo "services: $*"; }
fail() {
  echo "services: $*" >&2
  exit 1
}

# The pid recorded under NAME, if that process still runs the program it was started as.
live_pid() {
  local name=$1 program=$2 pid
  [ -f "$state_dir/$name.pid" ] || return 1
  pid=$(cat "$state_dir/$name.pid")
  [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "$program" || return 1
  echo "$pid"
}

# Stops one recorded process: SIGTERM, a bounded wait, then SIGKILL.
stop_one() {
  local name=$1 program=$2 pid
  if pid=$(live_pid "$name" "$program"); then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      [ -d "/proc/$pid" ] || break
      sleep 0.1
    done
    if [ -d "/proc/$pid" ]; then
      say "$name (pid $pid) did not stop on SIGTERM; killing it"
      kill -KILL "$pid" 2>/dev/null || true
    fi
    say "stopped $name (pid $pid)"
  fi
  rm -f "$state_dir/$name.pid"
}

# True once `kelm-tool readers` shows the reader with a card.
card_present() {
  "$tool" readers 2>/dev/null | grep -q "^$reader	card present"
}

service_answers() {
  "$tool" readers >/dev/null 2>&1
}

show_log() {
  local log=$state_dir/$1.log
  if [ -s "$log" ]; then
    echo "--- last lines of $log ---" >&2
    tail -n 20 "$log" >&2
  fi
}

configure_vpcd() {
  [ -e "$vpcd_driver" ] || fail "the vpcd driver $vpcd_driver is missing (run scripts/install-deps.sh)"
  if [ ! -e "$vpcd_conf" ]; then
    [ -w /etc/reader.conf.d ] || fail "$vpcd_conf is missing and /etc/reader.conf.d is not writable (run as root)"
    cat >"$vpcd_conf" <<CONF
FRIENDLYNAME "Virtual PCD"
DEVICENAME   /dev/null:0x8C7B
LIBPATH      $vpcd_driver
CHANNELID    0x8C7B
CONF
    say "wrote $vpcd_conf"
  fi
}

start_pcscd() {
  if live_pid pcscd pcscd >/dev/null; then
    say "pcscd already started by this script (pid $(cat "$state_dir/pcscd.pid"))"
    return
  fi
  if service_answers; then
    # Someone else's pcscd: use it, never stop it.
    say "using the pcscd that is already running"
    rm -f "$state_dir/pcscd.pid"
    return
  fi
  command -v pcscd >/dev/null || fail "pcscd is not installed (run scripts/install-deps.sh)"
  [ "$(id -u)" -eq 0 ] || fail "pcscd is not running and only root can start it (run as root, or start pcscd)"
  mkdir -p /run/pcscd
  # A socket left by a pcscd that died would make the new one refuse to start.
  if [ -S /run/pcscd/pcscd.comm ] && ! service_answers; then rm -f /run/pcscd/pcscd.comm; fi
  setsid pcscd --foreground </dev/null >"$state_dir/pcscd.log" 2>&1 &
  echo $! >"$state_dir/pcscd.pid"
  say "started pcscd (pid $!)"
  for _ in $(seq $((wait_seconds * 10))); do
    service_answers && return
    live_pid pcscd pcscd >/dev/null || break
    sleep 0.1
  done
  show_log pcscd
  fail "pcscd did not come up within ${wait_seconds}s"
}

start_cardsim() {
  if live_pid cardsim kelm-cardsim >/dev/null; then
    say "kelm-cardsim already running (pid $(cat "$state_dir/cardsim.pid"))"
    return
  fi
  local image=$state_dir/card.json
  rm -f "$image"
  setsid "$cardsim" --image "$image" --new --type "${KELM_SIM_TYPE:-1}" --protocol "${KELM_SIM_PROTOCOL:-T1}" \
    --pin "${KELM_SIM_PIN:-12345678}" --port 35963 </dev/null >"$state_dir/cardsim.log" 2>&1 &
  echo $! >"$state_dir/cardsim.pid"
  say "started kelm-cardsim (pid $!) with card image $image"
}

wait_for_card() {
  for _ in $(seq $((wait_seconds * 10))); do
    if card_present; then
      say "ready: '$reader' holds the simulated card"
      return
    fi
    if ! live_pid cardsim kelm-cardsim >/dev/null; then
      show_log cardsim
      fail "kelm-cardsim exited before the card appeared"
    fi
    sleep 0.1
  done
  show_log cardsim
  show_log pcscd
  "$tool" readers >&2 || true
  fail "'$reader' did not show the card within ${wait_seconds}s"
}

do_start() {
  [ -x "$cardsim" ] && [ -x "$tool" ] ||
    fail "kelm-cardsim or kelm-tool is not built in $build_dir (cmake --preset default && cmake --build --preset default)"
  mkdir -p "$state_dir"
  configure_vpcd
  start_pcscd
  start_cardsim
  if ! (wait_for_card); then
    do_stop
    exit 1
  fi
}

do_stop() {
  [ -d "$state_dir" ] || return 0
  stop_one cardsim kelm-cardsim
  stop_one pcscd pcscd
}

do_restart_pcscd() {
  live_pid pcscd pcscd >/dev/null || fail "pcscd was not started by this script: not restarting someone else's"
  stop_one pcscd pcscd
  start_pcscd
  wait_for_card
}

do_status() {
  local pid
  if pid=$(live_pid pcscd pcscd); then say "pcscd: pid $pid"; else say "pcscd: not started by this script"; fi
  if pid=$(live_pid cardsim kelm-cardsim); then say "kelm-cardsim: pid $pid"; else say "kelm-cardsim: not running"; fi
  [ -x "$tool" ] && "$tool" readers || true
}

case "${1:-}" in
  start) do_start ;;
  stop) do_stop ;;
  status) do_status ;;
  restart-pcscd) do_restart_pcscd ;;
  *)
    echo "usage: $0 start|stop|status|restart-pcscd" >&2
    exit 2
    ;;
esac
