#!/usr/bin/env bash
# The program installed as users get it, checked from outside:
#   install_test.sh prefix BUILD   cmake --install into a temporary prefix
#   install_test.sh deb BUILD      cpack -G DEB, apt-get install, apt-get purge (root only)
# Each runs the installed `zelmar --version`, starts the installed program
# offscreen as an unprivileged user (when root), stops it with SIGTERM and finds
# the settings under that user's ~/.config/varnex/, mode 0700, nothing beside
# the program. Exit 77 means skipped.
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd)
tmp=$(mktemp -d)
chmod 755 "$tmp" # the unprivileged user must reach the prefix
installed_pkg=0
cleanup() {
  if [ $installed_pkg = 1 ]; then
    apt-get purge -y -qq -o DPkg::Lock::Timeout=300 zelmar >/dev/null 2>&1 || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Waits until process $1 catches SIGTERM (its handler is installed), then a
# little longer for the first paint.
wait_ready() {
  local pid=$1 i mask
  for i in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 1
    mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    if [ $(( 0x${mask:-0} & (1 << 14) )) -ne 0 ]; then sleep 1; return 0; fi
    sleep 0.1
  done
  return 1
}

# check_program EXE: version, a run as an unprivileged user, the settings place.
check_program() {
  local exe=$1 bindir home runner=() uid pid rc ini
  bindir=$(dirname "$exe")
  uid=$(id -u)
  [ "$("$exe" --version)" = "zelmar (Varnex Dual Terminal) 1.0" ] || fail "$exe --version"
  home=$(mktemp -d "$tmp/home.XXXX")
  if [ "$(id -u)" -eq 0 ]; then
    chown 65534:65534 "$home"
    runner=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    uid=65534
  fi
  "${runner[@]}" env -i HOME="$home" PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen \
    QT_LOGGING_RULES='qt.qpa.*=false' "$exe" >"$tmp/run.log" 2>&1 &
  pid=$!
  wait_ready $pid || { cat "$tmp/run.log"; fail "$exe did not come up"; }
  kill -TERM $pid
  rc=0; wait $pid || rc=$?
  [ $rc -eq 0 ] || { cat "$tmp/run.log"; fail "exit $rc after SIGTERM"; }
  ini=$home/.config/varnex/Zelmar.ini
  [ -f "$ini" ] || { cat "$tmp/run.log"; fail "no $ini"; }
  grep -q '^\[noname\]' "$ini" || fail "$ini holds no session"
  [ "$(stat -c %a "$home/.config/varnex")" = 700 ] || fail "$home/.config/varnex not mode 0700"
  [ "$(stat -c %u "$ini")" = "$uid" ] || fail "$ini not owned by the user who ran it"
  [ ! -e "$bindir/Zelmar.ini" ] || fail "settings written beside $exe"
  echo "ok: $exe --version, run as uid $uid, settings in $ini"
}

case $mode in
prefix)
  prefix=$tmp/prefix
  cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; fail "cmake --install"; }
  for f in bin/zelmar share/zelmar/Info.ans share/applications/com.varnex.zelmar.desktop \
           share/metainfo/com.varnex.zelmar.metainfo.xml \
           share/icons/hicolor/scalable/apps/com.varnex.zelmar.svg \
           share/icons/hicolor/64x64/apps/com.varnex.zelmar.png share/man/man1/zelmar.1.gz \
           share/doc/zelmar/copyright; do
    [ -f "$prefix/$f" ] || fail "cmake --install did not install $f"
  done
  check_program "$prefix/bin/zelmar"
  # A copy of the same program outside the prefix is portable again.
  mkdir "$tmp/portable" && cp "$prefix/bin/zelmar" "$tmp/portable/"
  "$tmp/portable/zelmar" --help | grep -qF "Settings file: $tmp/portable/Zelmar.ini" ||
    fail "a portable copy does not keep its settings beside itself"
  ;;
deb)
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing the package needs root (CI runs as root); run as root to check it"
    exit 77
  fi
  for t in apt-get dpkg-query cpack setpriv; do
    command -v $t >/dev/null || { echo "SKIP: $t not found"; exit 77; }
  done
  if dpkg-query -W -f='${Status}' zelmar 2>/dev/null | grep -q 'ok installed'; then
    echo "SKIP: a zelmar package is already installed on this machine; not touching it"
    exit 77
  fi
  (cd "$build" && cpack -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack"; }
  deb=$(ls "$tmp"/pkg/zelmar_*.deb)
  dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "no computed Qt dependency"
  if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" || fail "lintian reports errors"
  fi
  installed_pkg=1
  apt-get install -y -qq -o DPkg::Lock::Timeout=300 "$deb" >"$tmp/apt.log" 2>&1 ||
    { cat "$tmp/apt.log"; fail "apt-get install"; }
  mapfile -t files < <(dpkg -L zelmar)
  [ -x /usr/bin/zelmar ] || fail "no /usr/bin/zelmar"
  check_program /usr/bin/zelmar
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate /usr/share/applications/com.varnex.zelmar.desktop || fail "desktop entry"
  fi
  if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net /usr/share/metainfo/com.varnex.zelmar.metainfo.xml >/dev/null ||
      fail "metainfo"
  fi
  apt-get purge -y -qq -o DPkg::Lock::Timeout=300 zelmar >"$tmp/apt.log" 2>&1 ||
    { cat "$tmp/apt.log"; fail "apt-get purge"; }
  installed_pkg=0
  for f in "${files[@]}"; do
    if [ -f "$f" ] || [ -L "$f" ]; then fail "$f left after purge"; fi
  done
  for d in /usr/share/zelmar /usr/share/doc/zelmar; do
    [ ! -e "$d" ] || fail "$d left after purge"
  done
  echo "ok: package $(basename "$deb") installed, run and purged (${#files[@]} paths)"
  ;;
*)
  fail "mode prefix or deb"
  ;;
esac
