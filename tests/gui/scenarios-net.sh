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
click 1011
wait 20000 text 1016 "Modem connection established"
expect text 1017 "CONNECTED - Torvanix / VX-4410, firmware 7.2"
hold 12000 text 1016 "Modem connection established"
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
