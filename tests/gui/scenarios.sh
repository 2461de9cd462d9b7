# The GUI scenarios and their helpers; sourced by run-scenarios inside a private network namespace.
# Each scenario is a bash function gui_<phase>_<name> that starts the modems it needs and hands one
# script to the driver; the driver starts a fresh Brisklode.exe and checks what the window shows.

APP=$BRISKLODE_GUI_APP
SIM=$BRISKLODE_GUI_SIM
SHOTS=$BRISKLODE_GUI_SCREENSHOTS
WORK=$BRISKLODE_GUI_WORK

declare -A SIMPID=()
declare -A SIMPORT=()
declare -A SIMDEV=()

note_pid() { echo "$1" >>"$WORK/pids"; }

# Windows path of a file under / (Wine maps Z: to /).
winpath() { local p=$1; echo "Z:${p//\//\\}"; }
# The same for use inside a quoted driver text, where a backslash starts an escape.
winpath_q() { local p=$1; echo "Z:${p//\//\\\\}"; }

# sim_start NAME [--in HOST] ARGS...: a simulated modem; its Telnet port lands in SIMPORT[NAME]
# (or its pseudo-terminal in SIMDEV[NAME] with --serial). --in HOST runs it in that test network host.
sim_start() {
  local name=$1
  shift
  local prefix=()
  if [ "${1:-}" = --in ]; then
    prefix=("$BRISKLODE_GUI_TESTNET" host-exec "$BRISKLODE_TESTNET_ID" "$2")
    shift 2
  fi
  local ready="$SCENARIO_DIR/$name.ready"
  rm -f "$ready"
  "${prefix[@]}" "$SIM" --ready-file "$ready" --log-file "$SCENARIO_DIR/$name.simlog" --max-seconds 900 "$@" \
    >"$SCENARIO_DIR/$name.out" 2>&1 &
  SIMPID[$name]=$!
  note_pid $!
  local _
  for _ in $(seq 100); do
    [ -s "$ready" ] && break
    if ! kill -0 "${SIMPID[$name]}" 2>/dev/null; then break; fi
    sleep 0.1
  done
  if [ ! -s "$ready" ]; then
    echo "simulator $name did not start: $(cat "$SCENARIO_DIR/$name.out")"
    return 1
  fi
  SIMPORT[$name]=$(awk '$1 == "telnet" {print $3}' "$ready")
  SIMDEV[$name]=$(awk '$1 == "serial" {print $2}' "$ready")
  return 0
}

sim_stop() {
  local pid=${SIMPID[$1]:-} child
  [ -n "$pid" ] || return 0
  # A simulator in a test network host runs as the child of testnet's host-exec.
  for child in $(ps -o pid= --ppid "$pid" 2>/dev/null); do kill "$child" 2>/dev/null || true; done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  unset "SIMPID[$1]"
}

sim_stop_all() {
  local name
  for name in "${!SIMPID[@]}"; do sim_stop "$name"; done
}

# The discovery passes a simulated modem has heard so far: each pass probes from a socket of its own, so
# its probes (one per directed broadcast address) share one source port that no other pass uses.
sim_passes() {
  local log="$SCENARIO_DIR/$1.simlog"
  [ -f "$log" ] || { echo 0; return; }
  awk '/^rx discovery probe [0-9]+ from / {print $6}' "$log" | sort -u | wc -l
}

# sim_mark_passes NAME, then sim_await_passes NAME N [SECONDS]: wait until NAME has heard N passes more
# than at the mark (default 40 s). The mark waits half a second first, so that it includes a pass whose
# probe another modem has just answered (each simulator holds its log lines back for up to 50 ms).
sim_mark_passes() {
  sleep 0.5
  sim_passes "$1" >"$SCENARIO_DIR/$1.passmark"
}

sim_await_passes() {
  local mark want _
  mark=$(cat "$SCENARIO_DIR/$1.passmark" 2>/dev/null || echo 0)
  want=$((mark + $2))
  for _ in $(seq $((${3:-40} * 20))); do
    [ "$(sim_passes "$1")" -ge "$want" ] && return 0
    sleep 0.05
  done
  echo "sim_await_passes: $1 heard $(sim_passes "$1") passes, wanted $want"
  return 1
}

# drive: runs the driver script on standard input. Requests the driver prints as "@@HOST N COMMAND" are run
# here (screenshots, starting and stopping modems) and answered through $SCENARIO_DIR/host/N.done.
drive() {
  local script="$SCENARIO_DIR/script.txt" out="$SCENARIO_DIR/driver.txt"
  cat >"$script"
  mkdir -p "$SCENARIO_DIR/host"
  : >"$out"
  # The driver's output goes to a file that is followed until the driver ends: a pipe would stay open as
  # long as any Wine process that inherited it lives.
  BRISKLODE_GUI_HOST_DIR="$SCENARIO_DIR/host" wine "$BRISKLODE_GUI_DRIVER" "$script" >"$out" 2>&1 </dev/null &
  local driver=$!
  tail -n +1 -s 0.1 -f --pid="$driver" "$out" | {
    while IFS= read -r line; do
      line=${line%$'\r'}
      case $line in
        "@@HOST "*)
          local rest=${line#@@HOST }
          local id=${rest%% *}
          local command=${rest#* }
          echo "    host: $command"
          local rc=0
          eval "$command" </dev/null >>"$SCENARIO_DIR/host.log" 2>&1 || rc=$?
          echo "$rc" >"$SCENARIO_DIR/host/$id.tmp"
          mv "$SCENARIO_DIR/host/$id.tmp" "$SCENARIO_DIR/host/$id.done"
          ;;
        *) echo "$line" ;;
      esac
    done
    # Modems that host requests started live in this subshell only; none may answer in the next scenario.
    sim_stop_all
  }
  wait "$driver"
}

# The first lines of most scripts: a fresh window whose start-up discovery pass has ended.
start_window() {
  cat <<EOF
launch $APP
wait 15000 text 1016 "$1"
wait 5000 enabled 1011 1
EOF
}

# The enabled state of every control that SetBusyUi sets: idle and not connected, connected, busy.
idle_states() {
  cat <<EOF
expect enabled 1002 1
expect enabled 1003 1
expect enabled 1004 1
expect enabled 1005 1
expect enabled 1006 1
expect enabled 1007 1
expect enabled 1008 1
expect enabled 1009 1
expect enabled 1010 1
expect enabled 1011 1
expect enabled 1012 0
expect enabled 1013 0
expect enabled 1014 0
EOF
}

connected_states() {
  cat <<EOF
expect enabled 1002 1
expect enabled 1003 0
expect enabled 1004 0
expect enabled 1005 0
expect enabled 1006 0
expect enabled 1007 0
expect enabled 1008 0
expect enabled 1009 0
expect enabled 1010 0
expect enabled 1011 1
expect enabled 1012 1
expect enabled 1014 0
EOF
}

busy_states() {
  cat <<EOF
expect enabled 1002 0
expect enabled 1003 0
expect enabled 1004 0
expect enabled 1005 0
expect enabled 1006 0
expect enabled 1007 0
expect enabled 1008 0
expect enabled 1009 0
expect enabled 1010 0
expect enabled 1011 0
expect enabled 1012 0
expect enabled 1013 0
expect enabled 1014 1
EOF
}

# Steps that connect over Telnet to 127.0.0.1:PORT and check everything a verified connection shows.
connect_telnet() {
  local port=$1
  cat <<EOF
click 1004
wait 3000 visible 1009 1
settext 1009 127.0.0.1
settext 1010 $port
click 1011
wait 20000 text 1016 "Modem connection established"
expect text 1017 "CONNECTED - Torvanix / VX-4410, firmware 7.2"
expect log-tail ^= "V ###: " "Physical modem connection verified" "Modem connection established"
expect text 1011 "Disconnect modem"
expect checked 1011 1
EOF
}

# True when the wineserver of $WINEPREFIX runs, and runs in our network namespace. It is the process whose
# working folder is the prefix's server folder, server-<device>-<inode> in hexadecimal.
wineserver_here() {
  local key p found=1 _
  key=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  for _ in $(seq 50); do
    for p in /proc/[0-9]*; do
      case $(readlink "$p/cwd" 2>/dev/null) in
        */"$key") ;;
        *) continue ;;
      esac
      [[ $(readlink "$p/exe" 2>/dev/null) == *wineserver* ]] || continue
      [ "$(readlink "$p/ns/net")" = "$(readlink /proc/self/ns/net)" ] || return 1
      found=0
    done
    [ "$found" = 0 ] && return 0
    sleep 0.1
  done
  return 1
}

# ---------------------------------------------------------------------------------------------------------

run_phase() {
  local phase=$1
  ip link set lo up 2>/dev/null || true
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

  # A display of our own.
  local display="" n
  for n in $(seq 90 150); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      Xvfb ":$n" -screen 0 2048x1600x24 -nolisten tcp >/dev/null 2>&1 &
      local xpid=$!
      note_pid "$xpid"
      local _
      for _ in $(seq 50); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        kill -0 "$xpid" 2>/dev/null || break
        sleep 0.1
      done
      if kill -0 "$xpid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
        display=":$n"
        break
      fi
    fi
  done
  if [ -z "$display" ]; then
    echo "FAIL gui.$phase.display" >>"$WORK/results"
    echo "run-scenarios: no free X display"
    return 1
  fi
  export DISPLAY=$display
  # COM7 of the prefix leads to a link that the serial scenario's simulator creates. The mapping is read
  # when a wineserver starts, so it is made first (wine-com waits for its own short-lived wineserver).
  if [ "$phase" = local ] && [ -x "$BRISKLODE_GUI_ROOT/scripts/wine-com" ]; then
    "$BRISKLODE_GUI_ROOT/scripts/wine-com" COM7 "$WORK/com7" >/dev/null 2>&1 </dev/null
  fi
  # The prefix copy is fresh, so its wineserver starts here, inside this namespace; it owns every socket
  # the window opens. Check that before the window runs.
  wineserver -p
  if ! wineserver_here; then
    echo "FAIL gui.$phase.wineserver" >>"$WORK/results"
    echo "run-scenarios: the wineserver of $WINEPREFIX is not inside this network namespace"
    wineserver -k
    return 1
  fi
  # Wine's own background programs start with the first Wine program; let them start here, on no output.
  wine cmd /c exit >/dev/null 2>&1 </dev/null

  local fn name started rc
  for fn in $(declare -F | awk '{print $3}' | grep "^gui_${phase}_"); do
    name="gui.${fn#gui_${phase}_}"
    echo "$name" | grep -Eq -- "$BRISKLODE_GUI_FILTER" || continue
    echo "[ RUN      ] $name"
    SCENARIO_DIR="$WORK/$name"
    mkdir -p "$SCENARIO_DIR"
    started=$(date +%s%N)
    rc=0
    "$fn" >"$SCENARIO_DIR/output.txt" 2>&1 || rc=$?
    sim_stop_all
    local ms=$((($(date +%s%N) - started) / 1000000))
    if [ "$rc" -eq 0 ]; then
      echo "[       OK ] $name ($ms ms)"
      echo "PASS $name $ms" >>"$WORK/results"
    else
      sed 's/^/    /' "$SCENARIO_DIR/output.txt" | tail -n 40
      echo "[  FAILED  ] $name ($ms ms)"
      echo "FAIL $name $ms" >>"$WORK/results"
    fi
  done

  wineserver -k 2>/dev/null
  kill "$xpid" 2>/dev/null
  wait "$xpid" 2>/dev/null
  return 0
}

# shellcheck source=tests/gui/scenarios-local.sh
source "$(dirname "${BASH_SOURCE[0]}")/scenarios-local.sh"
# shellcheck source=tests/gui/scenarios-net.sh
source "$(dirname "${BASH_SOURCE[0]}")/scenarios-net.sh"
