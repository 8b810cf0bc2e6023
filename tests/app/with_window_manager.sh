#!/usr/bin/env bash
# Runs a command on an X server of its own, 1366x768 (or $SCREEN, as 1024x600) with the keys
# repeating as on a desktop, under the openbox window manager, which keeps a 40-pixel strip at the
# bottom free as a panel would.
# Usage: [SCREEN=WxH] with_window_manager.sh COMMAND [ARGUMENT...]; exits with the command's status.
set -uo pipefail

screen=${SCREEN:-1366x768}
width=${screen%x*}
height=${screen#*x}

scratch=$(mktemp -d)
started=()
finish() {
    kill "${started[@]}" 2>/dev/null
    wait "${started[@]}" 2>/dev/null
    rm -rf "$scratch"
}
trap finish EXIT

# Xvfb picks a free display and writes its number into the pipe once it takes connections. It
# keeps going when its last client leaves: a look at the screen before openbox has connected
# would otherwise reset the server under openbox's feet.
mkfifo "$scratch/display"
Xvfb -displayfd 3 -screen 0 "${screen}x24" -nolisten tcp -noreset -ardelay 250 -arinterval 20 \
    3>"$scratch/display" 2>"$scratch/xvfb.log" &
started+=($!)
if ! read -r -t 20 number <"$scratch/display"; then
    echo "Xvfb did not start:" && cat "$scratch/xvfb.log"
    exit 1
fi
export DISPLAY=:$number

sed '/<margins>/,/<\/margins>/s|<bottom>0</bottom>|<bottom>40</bottom>|' /etc/xdg/openbox/rc.xml \
    >"$scratch/rc.xml"
XDG_CACHE_HOME=$scratch openbox --sm-disable --config-file "$scratch/rc.xml" \
    >"$scratch/openbox.log" 2>&1 &
started+=($!)
# Openbox manages the screen once it has published the free part of it.
for ((tries = 0; tries < 200; tries++)); do
    [[ "$(xprop -root _NET_WORKAREA 2>/dev/null)" == *", $width, $((height - 40))"* ]] && break
    sleep 0.05
done
if ((tries == 200)); then
    echo "openbox did not start:" && cat "$scratch/openbox.log"
    exit 1
fi

"$@"
