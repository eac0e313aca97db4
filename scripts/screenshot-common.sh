# Sourced by the screenshot scripts: a viewer on a virtual X display, and a
# picture of that display. The caller sets `script` (its name, for messages)
# and `out` (the PNG to write), and starts its viewer in the background with
# DISPLAY="$display", storing the process in `viewer`.

# need_packages PACKAGE...: installs the packages that are missing (as root).
need_packages() {
  need=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
  done
  [ -z "$need" ] && return 0
  [ "$(id -u)" -eq 0 ] || { echo "kaldorin: $script: missing packages:$need" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $need
}

# A scratch folder `work`, removed with the display and the viewer on exit.
work=$(mktemp -d)
xvfb=""
viewer=""
cleanup() {
  [ -n "$viewer" ] && kill "$viewer" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# start_display WIDTHxHEIGHT: an X server of that size on `display`.
start_display() {
  display=:$((90 + $$ % 100))
  Xvfb "$display" -screen 0 "$1x24" -nolisten tcp &
  xvfb=$!
  sleep 2
}

# take_screenshot: once the viewer has drawn, the whole display into `out`.
take_screenshot() {
  sleep 6
  mkdir -p "$(dirname "$out")"
  import -display "$display" -window root "$out"
  echo "wrote $out"
}
