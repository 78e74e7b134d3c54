# A Wine session for the Windows stages; sourced, not run.
#
#   wine_session_start   a virtual X display and a throwaway prefix, exported
#                        as DISPLAY and WINEPREFIX (WINEDEBUG=-all)
#   wine_session_stop    stops what the start made and removes the prefix
#
# Call wine_session_stop from an EXIT trap so a failure cleans up too.

wine_xvfb_pid=""
wine_prefix=""

wine_session_stop() {
  if [ -n "$wine_prefix" ]; then
    WINEPREFIX=$wine_prefix wineserver -k >/dev/null 2>&1 || true
    rm -rf "$wine_prefix"
    wine_prefix=""
  fi
  if [ -n "$wine_xvfb_pid" ]; then
    kill "$wine_xvfb_pid" 2>/dev/null || true
    wait "$wine_xvfb_pid" 2>/dev/null || true
    wine_xvfb_pid=""
  fi
}

wine_session_start() {
  # A free display: no lock file, and our server must still be alive once its
  # socket shows up (another job may have taken the number in between).
  local display="" n
  for n in $(seq 91 160); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    wine_xvfb_pid=$!
    for _ in $(seq 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$wine_xvfb_pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$wine_xvfb_pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
      display=":$n"
      break
    fi
    wait "$wine_xvfb_pid" 2>/dev/null || true
    wine_xvfb_pid=""
  done
  [ -n "$display" ] || { echo "No free X display for Xvfb" >&2; return 1; }

  wine_prefix=$(mktemp -d /tmp/quorvane-wine.XXXXXX)
  export WINEPREFIX=$wine_prefix WINEDEBUG=-all DISPLAY=$display
  wineboot -i >/dev/null 2>&1
  # COM's running object table answers only once the new prefix has settled.
  wineserver -w
  # Keep one server for the whole stage: a program started just as the previous
  # one's server was shutting down failed with "recvmsg: Connection reset by peer".
  wineserver -p
}
