# GUI scenarios with network modems; they run in the tool namespace of scripts/testnet, the modems in
# host namespaces of the same test network.

# Start-up with the COM port chosen and two modems answering: both listed in key order, the first
# selected and copied into Address and Telnet port; then one of them is picked and connected to.
gui_net_two_modems_and_connect() {
  sim_start b --in h11 --bind 198.18.1.11 --discovery --serial-number 1234 --call-sign KLM || return 1
  sim_start a --in h10 --bind 198.18.1.10 --discovery --serial-number 255 --call-sign "" || return 1
  local pa=${SIMPORT[a]} pb=${SIMPORT[b]}
  local sn_a sn_b
  sn_a=$(printf '%016X' 255)
  sn_b=$(printf '%016X' 1234)
  drive <<EOF
launch $APP
wait 15000 text 1016 "2 network modem(s) available - choose Network / Telnet to use them"
wait 5000 enabled 1011 1
expect text 1004 "Network / Telnet (2 found)"
expect items 1007 "198.18.1.10:$pa    S/N $sn_a" "198.18.1.11:$pb  KLM  S/N $sn_b"
expect cursel 1007 0
expect text 1009 "198.18.1.10"
expect text 1010 "$pa"
expect log-tail "Network modem: <no call> at 198.18.1.10:$pa, S/N $sn_a" "Network modem: KLM at 198.18.1.11:$pb, S/N $sn_b"
click 1004
wait 3000 visible 1007 1
wait 3000 text 1016 "Selected network modem at 198.18.1.10:$pa - press Connect modem"
select 1007 1
wait 3000 text 1009 "198.18.1.11"
expect text 1010 "$pb"
expect text 1016 "Selected KLM at 198.18.1.11:$pb - press Connect modem"
select 1007 0
wait 3000 text 1009 "198.18.1.10"
settext 1009 198.18.1.11
settext 1010 $pb
click 1011
wait 20000 text 1016 "Modem connection established"
expect text 1017 "CONNECTED - Torvanix / VX-4410, firmware 7.2"
host net_modem c h12 77 NEW
wait 20000 text 1004 "Network / Telnet (3 found)"
expect log-tail "Network modem added: NEW at 198.18.1.12:3000, S/N $(sn 77)"
expect cursel 1007 0
expect text 1016 "Modem connection established"
expect text 1009 "198.18.1.11"
expect text 1010 "$pb"
hold 6000 text 1016 "Modem connection established"
expect text 1009 "198.18.1.11"
click 1011
wait 5000 text 1016 "Modem disconnected"
close
wait-exit 15000
EOF
}

# A modem that falls silent is kept through five background passes and removed at the sixth.
gui_net_silent_modem_removed() {
  sim_start a --in h10 --bind 198.18.1.10 --discovery --serial-number 1 --call-sign GONE || return 1
  local pa=${SIMPORT[a]}
  drive <<EOF
launch $APP
wait 15000 text 1004 "Network / Telnet (1 found)"
wait 5000 enabled 1011 1
host sim_stop a
hold 24000 text 1004 "Network / Telnet (1 found)"
wait 20000 text 1004 "Network / Telnet"
expect log-tail "Network modem removed after 30 seconds: GONE at 198.18.1.10:$pa"
expect count 1007 0
expect text 1016 "No modem found"
close
wait-exit 15000
EOF
}

# Serial numbers as the window shows them.
sn() { printf '%016X' "$1"; }

# A modem that only answers discovery, at HOST's address with Telnet port 3000: restarting it keeps its key.
# net_modem NAME HOST SERIAL CALL
net_modem() {
  sim_start "$1" --in "$2" --no-console --discovery --announce-port 3000 --serial-number "$3" --call-sign "$4"
}

# Start-up in the test network with nobody answering: the foreground pass takes its two seconds, finds
# nobody and leaves the window idle with the plain caption and an empty log. A modem that comes up later
# is announced by a background pass while the COM port stays chosen.
gui_net_no_modem_startup() {
  drive <<EOF2
launch $APP
wait 5000 text 1016 "Discovering Velmor modems..."
$(busy_states)
hold 1000 text 1016 "Discovering Velmor modems..."
wait 15000 text 1016 "No modem found"
wait 5000 enabled 1011 1
expect text 1004 "Network / Telnet"
expect count 1007 0
expect log-lines == 0
$(idle_states)
host net_modem a h10 10 ALPHA
wait 20000 text 1016 "New network modem found"
expect text 1004 "Network / Telnet (1 found)"
expect log-tail "Network modem added: ALPHA at 198.18.1.10:3000, S/N $(sn 10)"
expect log-lines == 1
expect cursel 1007 0
expect text 1009 "198.18.1.10"
expect text 1010 "3000"
close
wait-exit 15000
EOF2
}

# A call sign change is an update in place: a background pass rewrites the item and the selected entry's
# status without a log line; the next foreground pass lists the new call sign.
gui_net_call_sign_changed_in_place() {
  net_modem a h10 10 ALPHA || return 1
  net_modem b h11 11 KLM || return 1
  local ia="198.18.1.10:3000  ALPHA  S/N $(sn 10)"
  drive <<EOF2
launch $APP
wait 15000 text 1004 "Network / Telnet (2 found)"
wait 5000 enabled 1011 1
click 1004
wait 3000 visible 1007 1
select 1007 1
wait 3000 text 1016 "Selected KLM at 198.18.1.11:3000 - press Connect modem"
expect text 1009 "198.18.1.11"
settext 1009 "typed.by.user"
host sim_stop b
host net_modem b h11 11 QRZ
wait 20000 items 1007 "$ia" "198.18.1.11:3000  QRZ  S/N $(sn 11)"
expect cursel 1007 1
expect text 1016 "Selected QRZ at 198.18.1.11:3000 - press Connect modem"
expect text 1009 "198.18.1.11"
expect text 1010 "3000"
expect text 1004 "Network / Telnet (2 found)"
expect log-lines == 2
expect log-tail "Network modem: ALPHA at 198.18.1.10:3000, S/N $(sn 10)" "Network modem: KLM at 198.18.1.11:3000, S/N $(sn 11)"
# The background pass has just ended, so the next one is some three seconds away.
click 1008
wait 3000 text 1016 "Discovering Velmor modems..."
wait 10000 enabled 1011 1
expect log-lines == 4
expect log-tail "Network modem: ALPHA at 198.18.1.10:3000, S/N $(sn 10)" "Network modem: QRZ at 198.18.1.11:3000, S/N $(sn 11)"
expect cursel 1007 1
expect text 1016 "Selected QRZ at 198.18.1.11:3000 - press Connect modem"
close
wait-exit 15000
EOF2
}

# The user's pick stays selected (and in the Address field) when a new modem sorts in before it.
gui_net_selection_kept_when_new_modem_sorts_first() {
  net_modem b h11 11 BRAVO || return 1
  net_modem c h12 12 CHARLIE || return 1
  drive <<EOF2
launch $APP
wait 15000 text 1004 "Network / Telnet (2 found)"
wait 5000 enabled 1011 1
click 1004
wait 3000 visible 1007 1
select 1007 1
wait 3000 text 1016 "Selected CHARLIE at 198.18.1.12:3000 - press Connect modem"
host net_modem a h10 10 ALPHA
wait 20000 text 1004 "Network / Telnet (3 found)"
expect items 1007 "198.18.1.10:3000  ALPHA  S/N $(sn 10)" "198.18.1.11:3000  BRAVO  S/N $(sn 11)" "198.18.1.12:3000  CHARLIE  S/N $(sn 12)"
expect cursel 1007 2
expect text 1009 "198.18.1.12"
expect text 1010 "3000"
expect text 1016 "Selected CHARLIE at 198.18.1.12:3000 - press Connect modem"
expect log-lines == 3
expect log-tail "Network modem: BRAVO at 198.18.1.11:3000, S/N $(sn 11)" "Network modem: CHARLIE at 198.18.1.12:3000, S/N $(sn 12)" "Network modem added: ALPHA at 198.18.1.10:3000, S/N $(sn 10)"
close
wait-exit 15000
EOF2
}

# A modem that misses three or four background passes, answers once and misses three more has never been
# silent for six passes in a row: it keeps its place. (Counting the misses in total would remove it.)
gui_net_modem_back_before_removal() {
  net_modem a h10 10 ALPHA || return 1
  net_modem b h11 11 BRAVO || return 1
  local items=("198.18.1.10:3000  ALPHA  S/N $(sn 10)" "198.18.1.11:3000  BRAVO  S/N $(sn 11)")
  drive <<EOF2
launch $APP
wait 15000 text 1004 "Network / Telnet (2 found)"
wait 5000 enabled 1011 1
click 1004
wait 3000 visible 1007 1
select 1007 1
wait 3000 text 1009 "198.18.1.11"
host sim_stop a
host sim_mark_passes b
# A pass probes each address in turn, so a modem that comes up during a pass may still answer it: four
# passes here leave at least three misses before the answer.
host sim_await_passes b 4
expect text 1004 "Network / Telnet (2 found)"
host net_modem a2 h10 10 ALPHA
wait 20000 file-count $SCENARIO_DIR/a2.simlog >= 1 ^= "tx discovery reply"
host sim_stop a2
host sim_mark_passes b
host sim_await_passes b 3
hold 4000 text 1004 "Network / Telnet (2 found)"
expect log-count == 0 ^= "Network modem removed"
expect log-lines == 2
expect items 1007 "${items[0]}" "${items[1]}"
expect cursel 1007 1
close
wait-exit 15000
EOF2
}

# "Discover" pressed while a background pass runs starts nothing: the status never reads
# "Discovering Velmor modems...", and that pass's result arrives as a background result.
gui_net_discover_during_background_pass() {
  drive <<EOF2
launch $APP
wait 15000 text 1016 "No modem found"
wait 5000 enabled 1011 1
click 1004
wait 3000 visible 1008 1
expect text 1016 "No modem found"
host net_modem a h10 10 ALPHA
# The modem came up after the foreground pass, so the first probe it hears starts a background pass.
wait 20000 file-count $SCENARIO_DIR/a.simlog >= 1 ^= "rx discovery probe"
click 1008
hold 4000 text 1016 != "Discovering Velmor modems..."
expect text 1016 "Selected ALPHA at 198.18.1.10:3000 - press Connect modem"
expect text 1004 "Network / Telnet (1 found)"
expect log-lines == 1
expect log-tail "Network modem added: ALPHA at 198.18.1.10:3000, S/N $(sn 10)"
expect text 1009 "198.18.1.10"
$(idle_states)
close
wait-exit 15000
EOF2
}

# Closing while a background pass runs waits for that pass, then the window closes by itself.
gui_net_close_during_background_pass() {
  drive <<EOF2
launch $APP
wait 15000 text 1016 "No modem found"
wait 5000 enabled 1011 1
host net_modem a h10 10 ALPHA
wait 20000 file-count $SCENARIO_DIR/a.simlog >= 1 ^= "rx discovery probe"
close
wait 1500 text 1016 "Closing after modem discovery..."
wait 10000 gone
wait-exit 10000
EOF2
}
