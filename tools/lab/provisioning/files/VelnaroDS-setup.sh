#!/bin/sh
# The lab's update installer, offered by ?reply=update. Like a real one it waits for the
# agent that started it to leave before it replaces anything, then installs: here it only
# records each step in $VELNARO_LAB_DIR/installer.log (default /tmp/velnaro-lab).
set -eu
log="${VELNARO_LAB_DIR:-/tmp/velnaro-lab}/installer.log"
mkdir -p "$(dirname "$log")"
say() { printf '%s %s\n' "$(date -Iseconds)" "$*" >>"$log"; }

agent=$PPID
say "Velnaro DS lab update installer: started by $agent (pid $$, session $(cut -d' ' -f6 /proc/$$/stat))"
# Up to a minute for the agent to close.
i=0
while kill -0 "$agent" 2>/dev/null && [ $i -lt 600 ]; do
  sleep 0.1
  i=$((i + 1))
done
if kill -0 "$agent" 2>/dev/null; then
  say "the agent $agent is still running: nothing installed"
  exit 1
fi
say "the agent $agent has left: update installed"
