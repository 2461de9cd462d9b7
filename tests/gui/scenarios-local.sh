# GUI scenarios that need no network modem; they run in a namespace with only loopback, where the
# start-up discovery pass finds nobody.

IDLE="No modem found"
VERSION_TEXT="1.00.06"

# Title, class, version block and resources, the initial texts, the idle state, the header's colours.
gui_local_window_identity() {
  drive <<EOF
launch $APP
expect title "Velmor Brisklode 1.00.06"
expect class "Velmor.Brisklode.Window"
wait 5000 text 1016 "Discovering Velmor modems..."
$(busy_states)
wait 15000 text 1016 "$IDLE"
wait 5000 enabled 1011 1
$(idle_states)
expect version $APP FileVersion "$VERSION_TEXT"
expect version $APP ProductVersion "$VERSION_TEXT"
expect version $APP CompanyName "Velmor"
expect version $APP FileDescription "Velmor Brisklode"
expect version $APP InternalName "Brisklode"
expect version $APP OriginalFilename "Brisklode.exe"
expect version $APP ProductName "Brisklode"
expect version $APP @language ^= "0409"
expect resource $APP 10 101 > 10000
expect resource $APP 14 102 > 0
expect resource $APP 24 1 > 0
expect text =Brisk "Brisk"
expect text =lode "lode"
expect text =Velmor "Velmor"
expect text =Velmor@2 "Velmor"
expect text ="Fast firmware update for Velmor modems" "Fast firmware update for Velmor modems"
expect text ="Firmware file" "Firmware file"
expect text 1001 ""
expect text 1002 "Browse..."
expect text =Connection "Connection"
expect text 1003 "COM port"
expect text 1004 "Network / Telnet"
expect text =Port "Port"
expect text 1006 "Refresh"
expect text 1008 "Discover"
expect text 1010 "3000"
expect text 1011 "Connect modem"
expect text 1012 "Read modem log..."
expect text 1013 "Start update"
expect text 1014 "Cancel"
expect text 1017 "NOT CONNECTED"
expect rect =Log 0 0 0 0
expect checked 1003 1
expect checked 1004 0
expect checked 1011 0
expect visible 1005 1
expect visible 1006 1
expect visible 1007 0
expect visible 1008 0
expect visible 1009 0
expect visible 1010 0
expect progress == 0
expect pixel =Brisk 218 40 38
expect pixel =Velmor 218 40 38
expect pixel =lode 255 255 255
expect pixel =Port 247 247 248
expect no-pixel 1016 224 246 232
screenshot $SHOTS/idle.png
close
wait-exit 10000
EOF
}

# Every control where the layout table puts it, at the first size, after a resize, and with a short window.
layout_checks() {
  cat <<EOF
expect rect =Brisk 28 20 W 36
expect rect =lode 28+W 20 a/2-W 36
expect rect ="Fast firmware update for Velmor modems" 28 59 a/2 24
expect rect =Velmor a-340 20 175 48
expect rect =Velmor@2 a-340 69 175 22
expect rect ="Firmware file" 28 150 120 24
expect rect 1001 158 147 a-294 30
expect rect 1002 a-124 147 96 30
expect rect =Connection 28 199 120 24
expect rect 1003 158 196 120 30
expect rect 1004 286 196 218 30
expect rect =Port 28 243 70 24
expect rect 1005 104 240 a-236 240
expect rect 1006 a-122 240 94 30
expect rect ="Discovered modem" 28 243 126 24
expect rect 1007 164 240 a-300 220
expect rect 1008 a-126 240 98 30
expect rect =Address 28 285 70 24
expect rect 1009 104 282 210 30
expect rect ="Telnet port" 338 285 82 24
expect rect 1010 428 282 100 30
expect rect 1011 28 330 150 32
expect rect 1017 190 335 a-218 25
expect rect 1013 28 381 142 38
expect rect 1014 180 381 92 38
expect rect 1012 282 384 172 32
expect rect 1015 466 389 a-494 22
expect rect 1016 28 430 a-56 52
EOF
}

gui_local_layout() {
  drive <<EOF
$(start_window "$IDLE")
$(layout_checks)
expect rect 1018 28 487 a-56 b-515
resize 1000 820
wait 3000 rect 1001 158 147 a-294 30
$(layout_checks)
expect rect 1018 28 487 a-56 b-515
resize 900 520
wait 3000 rect 1018 28 487 a-56 80
$(layout_checks)
dpi-changed 144 1230 1080
wait 3000 outer 1230 1080
dpi 144
expect rect =Brisk 42 30 W 54
expect rect =Velmor a-510 30 263 72
expect rect 1001 237 221 a-441 45
expect rect 1018 42 731 a-84 b-773
close
wait-exit 10000
EOF
}

# Connect over Telnet, the connected state, Start update following the firmware field, disconnect.
gui_local_connect_disconnect() {
  sim_start modem || return 1
  drive <<EOF
$(start_window "$IDLE")
$(connect_telnet "${SIMPORT[modem]}")
expect log-tail *= "#0:U#1:7.2" "Physical modem connection verified" "Modem connection established"
expect pixel 1017 20 132 68
$(connected_states)
expect enabled 1013 0
settext 1001 Z:\\nowhere\\firmware.qz7
wait 3000 enabled 1013 1
settext 1001 ""
wait 3000 enabled 1013 0
command 1013
msgbox "Brisklode" "Select a firmware file first." ok
settext 1001 x
wait 3000 enabled 1013 1
screenshot $SHOTS/connected.png
click 1011
wait 5000 text 1016 "Modem disconnected"
expect text 1017 "NOT CONNECTED"
expect log-tail "Modem disconnected"
expect text 1011 "Connect modem"
expect checked 1011 0
expect no-pixel 1017 20 132 68
$(idle_states)
close
wait-exit 10000
EOF
}

# Wrong input never starts a worker: a warning box, the toggle unchecked again, the state unchanged.
gui_local_invalid_inputs() {
  drive <<EOF
$(start_window "$IDLE")
command 1013
wait 10000 msgbox-icon "Brisklode" "Connect the modem first." warning
msgbox "Brisklode" "Connect the modem first." ok
command 1012
msgbox "Brisklode" "Connect the modem first." ok
click 1004
wait 3000 visible 1009 1
settext 1009 ""
settext 1010 3000
click 1011
msgbox "Brisklode" "Enter a modem address and valid Telnet port" ok
expect checked 1011 0
expect text 1017 "NOT CONNECTED"
settext 1009 127.0.0.1
settext 1010 0
click 1011
msgbox "Brisklode" "Enter a modem address and valid Telnet port" ok
expect checked 1011 0
settext 1010 65536
click 1011
msgbox "Brisklode" "Enter a modem address and valid Telnet port" ok
settext 1010 abc
click 1011
msgbox "Brisklode" "Enter a modem address and valid Telnet port" ok
expect checked 1011 0
expect text 1016 "$IDLE"
$(idle_states)
expect log-lines == 0
close
wait-exit 10000
EOF
}

# The modem over a COM name that Wine maps onto the simulator's pseudo-terminal.
gui_local_connect_serial() {
  sim_start serial --serial --link "$WORK/com7" || return 1
  drive <<EOF
$(start_window "$IDLE")
click 1006
select-text 1005 *= "COM7"
click 1011
wait 20000 text 1016 "Modem connection established"
expect text 1017 "CONNECTED - Torvanix / VX-4410, firmware 7.2"
expect log-tail ^= "V ###: " "Physical modem connection verified" "Modem connection established"
click 1011
wait 5000 text 1016 "Modem disconnected"
close
wait-exit 10000
EOF
}

# A fast update end to end, through the Browse dialog; the modem stores exactly the file's bytes.
gui_local_fast_update() {
  head -c 200000 /dev/urandom >"$SCENARIO_DIR/firmware.qz7"
  sim_start modem --image-file "$SCENARIO_DIR/image.bin" --verify-delay 2500 || return 1
  drive <<EOF
$(start_window "$IDLE")
$(connect_telnet "${SIMPORT[modem]}")
click 1002
filedialog $SCENARIO_DIR/firmware.qz7
wait 3000 text 1001 $(winpath "$SCENARIO_DIR/firmware.qz7")
wait 3000 enabled 1013 1
expect pixel 1013 18 139 68
click 1013
wait 10000 text 1016 "Verifying on modem"
$(busy_states)
expect progress == 95
expect log-has "Frame size: 65536 bytes"
screenshot $SHOTS/update.png
wait 30000 msgbox-icon "Brisklode" "Checksum OK on Modem\n\nThe modem is rebooting." information
session-query 1
msgbox "Brisklode" "Checksum OK on Modem\n\nThe modem is rebooting." ok 30000
expect text 1016 "SUCCESS - Checksum OK on Modem"
expect text 1017 "NOT CONNECTED - modem rebooting"
expect log-tail "Firmware CRC and modem file write verified; modem is rebooting" "Checksum OK on Modem"
expect progress == 0
expect text 1011 "Connect modem"
expect checked 1011 0
expect pixel 1016 224 246 232
expect pixel 1016 14 112 57
$(idle_states)
host cmp -n 200000 $SCENARIO_DIR/firmware.qz7 $SCENARIO_DIR/image.bin && test \$(stat -c %s $SCENARIO_DIR/image.bin) -eq 200192
screenshot $SHOTS/success.png
close
wait-exit 10000
EOF
}

UPDFAST_QUESTION="This modem firmware does not support UPDFAST.\n\nUse the slow legacy UPDATE protocol instead?\n\nNote: legacy UPDATE acknowledges every 256-byte block, but cannot report the final modem-side checksum result."
LEGACY_DONE="Legacy transfer complete. Final modem checksum status unavailable; after reboot, check that the new firmware version is running."

gui_local_legacy_update_yes() {
  head -c 3000 /dev/urandom >"$SCENARIO_DIR/firmware.eFW"
  sim_start modem --no-updfast --image-file "$SCENARIO_DIR/image.bin" || return 1
  drive <<EOF
$(start_window "$IDLE")
$(connect_telnet "${SIMPORT[modem]}")
settext 1001 $(winpath "$SCENARIO_DIR/firmware.eFW")
click 1013
msgbox "UPDFAST not available" "$UPDFAST_QUESTION" yes 20000
msgbox "Brisklode" "$LEGACY_DONE" ok 30000
expect text 1016 "$LEGACY_DONE"
expect no-pixel 1016 224 246 232
expect text 1017 "NOT CONNECTED - modem rebooting"
expect log-tail "$LEGACY_DONE"
expect checked 1011 0
$(idle_states)
host cmp -n 3000 $SCENARIO_DIR/firmware.eFW $SCENARIO_DIR/image.bin
close
wait-exit 10000
EOF
}

gui_local_legacy_update_no() {
  head -c 3000 /dev/urandom >"$SCENARIO_DIR/firmware.eFW"
  sim_start modem --no-updfast || return 1
  drive <<EOF
$(start_window "$IDLE")
$(connect_telnet "${SIMPORT[modem]}")
settext 1001 $(winpath "$SCENARIO_DIR/firmware.eFW")
click 1013
msgbox "UPDFAST not available" "$UPDFAST_QUESTION" no 20000
msgbox "Brisklode" "UPDFAST is not supported by this modem firmware" ok 10000
expect text 1016 "UPDFAST is not supported by this modem firmware"
expect text 1017 "NOT CONNECTED"
expect log-tail "UPDFAST is not supported by this modem firmware"
expect checked 1011 0
$(idle_states)
close
wait-exit 10000
EOF
}

# A firmware path that cannot be read still ends the connection.
gui_local_unreadable_firmware() {
  sim_start modem || return 1
  drive <<EOF
$(start_window "$IDLE")
$(connect_telnet "${SIMPORT[modem]}")
settext 1001 $(winpath "$SCENARIO_DIR/missing.qz7")
click 1013
wait 10000 msgbox-icon "Brisklode" "Cannot open firmware file" error
msgbox "Brisklode" "Cannot open firmware file" ok
expect text 1016 "Cannot open firmware file"
expect text 1017 "NOT CONNECTED"
expect text 1011 "Connect modem"
$(idle_states)
close
wait-exit 10000
EOF
}

# Log download over both transfers; the saved file holds the modem's bytes and the modem stays connected.
log_download() {
  local mode=$1 suffix=$2
  head -c 70000 /dev/urandom >"$SCENARIO_DIR/content.bin"
  sim_start modem --log-mode "$mode" --log-content "$SCENARIO_DIR/content.bin" || return 1
  drive <<EOF
$(start_window "$IDLE")
$(connect_telnet "${SIMPORT[modem]}")
click 1012
filedialog $SCENARIO_DIR/saved.log
wait 20000 text 1016 ^= "Modem log saved: "
expect text 1016 "Modem log saved: $(winpath_q "$SCENARIO_DIR/saved.log")$suffix"
expect log-tail "Modem log saved: $(winpath_q "$SCENARIO_DIR/saved.log")$suffix"
hold 500 no-msgbox
expect text 1017 "CONNECTED - Torvanix / VX-4410, firmware 7.2"
expect checked 1011 1
$(connected_states)
host cmp $SCENARIO_DIR/content.bin $SCENARIO_DIR/saved.log$( [ "$mode" = legacy ] && echo " || cmp -n 70000 $SCENARIO_DIR/content.bin $SCENARIO_DIR/saved.log")
click 1011
wait 5000 text 1016 "Modem disconnected"
close
wait-exit 10000
EOF
}

gui_local_log_download_fast() { log_download fast ""; }
gui_local_log_download_legacy() { log_download legacy " (legacy 256-byte protocol)"; }

# Cancel (by Esc, where the start of the update put the focus on Cancel) while the tool waits for a frame
# verdict; Esc in the read-only log box afterwards leaves the window open.
gui_local_cancel_update() {
  head -c 300000 /dev/urandom >"$SCENARIO_DIR/firmware.qz7"
  sim_start modem --stall-after-frame 2 || return 1
  drive <<EOF
$(start_window "$IDLE")
$(connect_telnet "${SIMPORT[modem]}")
settext 1001 $(winpath "$SCENARIO_DIR/firmware.qz7")
click 1013
wait 10000 text 1016 "Transferring firmware"
wait 10000 log-has ^= "Transferred 65536 / "
$(busy_states)
wait 3000 focus 1014
key ESCAPE
msgbox "Brisklode" "Update cancelled" ok 10000
expect text 1016 "Update cancelled"
expect text 1017 "NOT CONNECTED"
$(idle_states)
mouse-click 1018
wait 3000 focus 1018
key ESCAPE
hold 1000 visible 1018 1
close
wait-exit 10000
EOF
}

# Closing while an update runs: the question, then no result box, and the window closes by itself.
gui_local_close_while_busy() {
  head -c 300000 /dev/urandom >"$SCENARIO_DIR/firmware.qz7"
  sim_start modem --stall-after-frame 2 || return 1
  drive <<EOF
$(start_window "$IDLE")
$(connect_telnet "${SIMPORT[modem]}")
settext 1001 $(winpath "$SCENARIO_DIR/firmware.qz7")
click 1013
wait 10000 text 1016 "Transferring firmware"
close
msgbox "Brisklode" "An operation is still running. Cancel it and close?" no
hold 1000 text 1016 "Transferring firmware"
close
msgbox "Brisklode" "An operation is still running. Cancel it and close?" yes
wait 15000 gone
wait-exit 10000
EOF
}

# The update ends while the close question is open (its result box shows inside it): the Yes that follows
# closes the window at once, with nothing left to cancel.
gui_local_close_confirmed_after_the_result() {
  head -c 3000 /dev/urandom >"$SCENARIO_DIR/firmware.qz7"
  sim_start modem --verify-delay 3000 || return 1
  drive <<EOF
$(start_window "$IDLE")
$(connect_telnet "${SIMPORT[modem]}")
settext 1001 $(winpath "$SCENARIO_DIR/firmware.qz7")
click 1013
wait 10000 text 1016 "Verifying on modem"
close
msgbox "Brisklode" "Checksum OK on Modem\n\nThe modem is rebooting." ok 15000
msgbox "Brisklode" "An operation is still running. Cancel it and close?" yes
wait 5000 gone
wait-exit 10000
EOF
}

# A close that comes while one of the window's own boxes or dialogs is open waits for the answer; then the
# close rules apply as usual. Here the connection warning: once it is answered the window closes.
gui_local_close_while_box_open() {
  local warn="Enter a modem address and valid Telnet port"
  drive <<EOF
$(start_window "$IDLE")
click 1004
wait 3000 visible 1009 1
settext 1009 ""
click 1011
wait 10000 msgbox "Brisklode" "$warn"
close sent
hold 1000 msgbox "Brisklode" "$warn"
screenshot $SHOTS/close-under-warning.png
msgbox "Brisklode" "$warn" ok
wait 15000 gone
wait-exit 10000
EOF
}

# The same with the log save dialog, answered with a file: the download has started, so the close asks
# first. The modem stalls inside a block; the cancellation ends the download within 250 ms, and the log
# that was being written into the folder is gone.
gui_local_close_while_dialog_open() {
  sim_start modem --log-mode legacy --log-stall-chunk 2 || return 1
  drive <<EOF
$(start_window "$IDLE")
$(connect_telnet "${SIMPORT[modem]}")
click 1012
wait 10000 file-dialog
close sent
hold 1000 file-dialog
screenshot $SHOTS/close-under-save-dialog.png
filedialog $SCENARIO_DIR/saved.log
msgbox "Brisklode" "An operation is still running. Cancel it and close?" yes
wait 30000 gone
wait-exit 10000
host ! ls $SCENARIO_DIR | grep -q saved.log
EOF
}

# The UPDFAST question belongs to the update worker: a close meanwhile asks at once, beside it, and the
# window closes once the update has ended.
gui_local_close_during_updfast_question() {
  head -c 3000 /dev/urandom >"$SCENARIO_DIR/firmware.eFW"
  sim_start modem --no-updfast || return 1
  drive <<EOF
$(start_window "$IDLE")
$(connect_telnet "${SIMPORT[modem]}")
settext 1001 $(winpath "$SCENARIO_DIR/firmware.eFW")
click 1013
wait 20000 msgbox "UPDFAST not available" "$UPDFAST_QUESTION"
close
msgbox "Brisklode" "An operation is still running. Cancel it and close?" yes
expect text 1016 "Cancelling before close..."
hold 1000 msgbox "UPDFAST not available" "$UPDFAST_QUESTION"
msgbox "UPDFAST not available" "$UPDFAST_QUESTION" no
wait 15000 gone
wait-exit 10000
EOF
}

# The log box stays under 1,048,576 characters. Each failed connection to a modem that talks endlessly
# after QUIT adds one line of what it said (16 to 32 KiB of its text, some 25,000 characters) after waiting
# out the 5 s reply time, so filling the box that way would take 44 rounds and six minutes. The box is set
# to 1,000,000 characters of earlier lines first (the window goes by what the box holds, wherever it came
# from); four failures then take it over the limit. Every addition is checked against the trimming rule:
# the first one leaves the box untrimmed, exactly one trims it, and the box then starts with a whole earlier
# line. (Random bytes would make longer lines, but Wine then takes minutes to lay out the error box that
# repeats them.)
gui_local_log_trimming() {
  sim_start chatty --hostile endless:quit || return 1
  local fail="QUIT did not return the modem at 127.0.0.1:${SIMPORT[chatty]} to the cmd: menu ("
  local earlier="Earlier line, kept only while the box has room: "
  local pad k
  pad=$(printf 'padding %.0s' $(seq 120) | cut -c1-$((1000 - ${#earlier} - 2)))
  {
    start_window "$IDLE"
    echo "click 1004"
    echo "wait 3000 visible 1009 1"
    echo "settext 1009 127.0.0.1"
    echo "settext 1010 ${SIMPORT[chatty]}"
    echo "settext-repeat 1018 1000 \"$earlier$pad\\r\\n\""
    echo "expect len 1018 == 1000000"
    for k in $(seq 4); do
      echo "log-snapshot"
      echo "click 1011"
      echo "msgbox \"Brisklode\" ^= \"$fail\" ok 30000"
      echo "expect log-appended"
      echo "expect len 1018 <= 1048576"
      [ "$k" -eq 1 ] && echo "expect log-trims == 0"
      echo "wait 5000 enabled 1011 1"
    done
    echo "expect log-trims == 1"
    echo "expect log-first ^= \"$earlier\""
    echo "expect log-tail ^= \"$fail\""
    echo "screenshot $SHOTS/log-trimmed.png"
    echo "close"
    echo "wait-exit 10000"
  } | drive
}

# A machine without COM ports (its own phase, with the serial devices hidden from Wine): the port list is
# empty, and Connect with the COM port chosen only warns.
gui_nocom_select_com_port() {
  drive <<EOF2
$(start_window "$IDLE")
expect count 1005 0
expect checked 1003 1
click 1011
wait 10000 msgbox-icon "Brisklode" "Select a COM port" warning
msgbox "Brisklode" "Select a COM port" ok
expect checked 1011 0
expect text 1011 "Connect modem"
expect text 1017 "NOT CONNECTED"
expect text 1016 "$IDLE"
expect log-lines == 0
$(idle_states)
click 1006
wait 3000 enabled 1011 1
expect count 1005 0
close
wait-exit 10000
EOF2
}

# The display scale the window's next start finds (Wine reads it per process); 96 is 100 %.
set_dpi() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}

# At 150 % the whole connect-update flow: the window 1.5 times as large, its places and fonts with it.
gui_local_dpi_144_update() {
  head -c 200000 /dev/urandom >"$SCENARIO_DIR/firmware.qz7"
  sim_start modem --image-file "$SCENARIO_DIR/image.bin" --verify-delay 1500 || return 1
  set_dpi 144
  local rc=0
  drive <<EOF || rc=1
$(start_window "$IDLE")
expect outer 1230 1080
dpi 144
expect rect =Brisk 42 30 W 54
expect rect =Velmor a-510 30 263 72
expect rect =Velmor@2 a-510 104 263 33
expect rect 1001 237 221 a-441 45
expect rect 1013 42 572 213 57
expect rect 1012 423 576 258 48
expect rect 1016 42 645 a-84 78
expect rect 1018 42 731 a-84 b-773
$(connect_telnet "${SIMPORT[modem]}")
settext 1001 $(winpath "$SCENARIO_DIR/firmware.qz7")
wait 3000 enabled 1013 1
click 1013
wait 30000 msgbox-icon "Brisklode" "Checksum OK on Modem\n\nThe modem is rebooting." information
msgbox "Brisklode" "Checksum OK on Modem\n\nThe modem is rebooting." ok
expect text 1016 "SUCCESS - Checksum OK on Modem"
expect pixel 1016 224 246 232
host cmp -n 200000 $SCENARIO_DIR/firmware.qz7 $SCENARIO_DIR/image.bin
screenshot $SHOTS/success-144.png
close
wait-exit 10000
EOF
  set_dpi 96
  return $rc
}

# At 200 %: the window at twice its size, connected, for the screenshot.
gui_local_dpi_192_screenshot() {
  sim_start modem || return 1
  set_dpi 192
  local rc=0
  drive <<EOF || rc=1
$(start_window "$IDLE")
expect outer 1640 1440
expect rect 1011 56 660 300 64
$(connect_telnet "${SIMPORT[modem]}")
settext 1001 Z:\\firmware\\modem-7.3.qz7
wait 3000 enabled 1013 1
screenshot $SHOTS/connected-192.png
close
wait-exit 10000
EOF
  set_dpi 96
  return $rc
}

# The keyboard alone: Tab through the window in reading order, the radio pair by arrow key, typing, Space
# on Connect modem, Enter on Start update and on the result box; the focus lands where the next step is.
gui_local_keyboard_update() {
  head -c 100000 /dev/urandom >"$SCENARIO_DIR/firmware.qz7"
  sim_start modem --image-file "$SCENARIO_DIR/image.bin" || return 1
  drive <<EOF
$(start_window "$IDLE")
wait 3000 focus 1001
type $(winpath_q "$SCENARIO_DIR/firmware.qz7")
wait 3000 text 1001 $(winpath_q "$SCENARIO_DIR/firmware.qz7")
key TAB
wait 3000 focus 1002
key TAB
wait 3000 focus 1003
key TAB
wait 3000 focus 1004
key TAB
wait 3000 focus 1005
key TAB
wait 3000 focus 1006
key TAB
wait 3000 focus 1011
key TAB
wait 3000 focus 1001
key TAB TAB
wait 3000 focus 1003
key RIGHT
wait 3000 visible 1009 1
expect checked 1004 1
wait 3000 focus 1004
key TAB TAB TAB
wait 3000 focus 1009
type 127.0.0.1
key TAB
wait 3000 focus 1010
type ${SIMPORT[modem]}
wait 3000 text 1010 "${SIMPORT[modem]}"
key TAB
wait 3000 focus 1011
key SPACE
wait 20000 text 1016 "Modem connection established"
wait 3000 focus 1013
key RETURN
wait 30000 msgbox-icon "Brisklode" "Checksum OK on Modem\n\nThe modem is rebooting." information
key RETURN
wait 5000 no-msgbox
expect text 1016 "SUCCESS - Checksum OK on Modem"
wait 3000 focus 1011
host cmp -n 100000 $SCENARIO_DIR/firmware.qz7 $SCENARIO_DIR/image.bin
close
wait-exit 10000
EOF
}

# A logoff while an update runs: refused (the window holds it back with its reason); when it goes ahead
# anyway the update is cancelled as Cancel does, the modem keeps no image, and the window closes.
gui_local_logoff_during_update() {
  head -c 300000 /dev/urandom >"$SCENARIO_DIR/firmware.qz7"
  sim_start modem --stall-after-frame 2 --image-file "$SCENARIO_DIR/image.bin" || return 1
  drive <<EOF
$(start_window "$IDLE")
session-query 1
$(connect_telnet "${SIMPORT[modem]}")
settext 1001 $(winpath "$SCENARIO_DIR/firmware.qz7")
click 1013
wait 10000 log-has ^= "Transferred 65536 / "
session-query 0
expect text 1016 ^= "Transferr"
session-end
wait 10000 gone
wait-exit 10000
host test ! -e $SCENARIO_DIR/image.bin
host grep -q "client disconnected" $SCENARIO_DIR/modem.simlog
EOF
}
