#!/bin/sh
# Firmware hand-over of Vellamo.
#
# Vellamo runs this script with /bin/sh in its firmware folder after it has
# closed the clock's port and put the chosen image here as "update.hex". The one
# argument is the port's name (for example /dev/ttyACM0). Vellamo waits while a
# process named "fboot" runs and then opens the port again. Everything written
# here goes to "update.log" beside this script.
#
# The flashing tool "fboot" is not part of Vellamo; install one on the PATH that
# takes the port and the image file: fboot PORT update.hex

port="$1"
echo "$(date '+%Y-%m-%d %H:%M:%S') Firmwareupdate auf ${port:-(kein Port)} mit update.hex"

if [ -z "$port" ]; then
  echo "Abbruch: kein Port angegeben."
  exit 2
fi
if [ ! -r update.hex ]; then
  echo "Abbruch: update.hex fehlt in $(pwd)."
  exit 2
fi
if ! command -v fboot >/dev/null 2>&1; then
  echo "Abbruch: kein Flash-Programm installiert (\"fboot\" ist nicht im PATH: $PATH)."
  exit 127
fi

fboot "$port" update.hex
status=$?
if [ "$status" -eq 0 ]; then
  echo "$(date '+%Y-%m-%d %H:%M:%S') fboot fertig."
else
  echo "$(date '+%Y-%m-%d %H:%M:%S') fboot meldet Fehler $status."
fi
exit "$status"
