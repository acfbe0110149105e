#!/bin/sh
# build-deb.sh: the Debian package of the headless proxy, tollgated_VERSION_ARCH.deb, built with
# dpkg-deb from a built tollgated (the native tree's, build/native/tollgated).
#
#   ./scripts/build-deb.sh OUTDIR [TOLLGATED]
#
# The version is the project's (project(Tollgate VERSION ...) in CMakeLists.txt), the
# architecture dpkg's. The package holds:
#   /usr/sbin/tollgated                            the program, stripped
#   /lib/systemd/system/tollgated.service          headless/systemd/tollgated.service, run from
#                                                  /usr/sbin
#   /usr/share/man/man8/tollgated.8.gz             headless/tollgated.8
#   /usr/share/doc/tollgated/README.Debian         headless/debian/README.Debian
#   /usr/share/doc/tollgated/copyright             headless/debian/copyright
#   /usr/share/doc/tollgated/changelog.gz          made from the version
# and the maintainer scripts of headless/debian/ (enable and start the service on installation,
# stop it on removal, delete its state on purge). Prints the package's path.
# SOURCE_DATE_EPOCH (default: the time of the last commit) dates the changelog and every file.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUTDIR=${1:?usage: build-deb.sh OUTDIR [TOLLGATED]}
EXE=${2:-$ROOT/build/native/tollgated}
[ -x "$EXE" ] || { echo "build-deb.sh: $EXE is no program" >&2; exit 1; }

VERSION=$(sed -n 's/^project(Tollgate VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
[ -n "$VERSION" ] || { echo "build-deb.sh: no version in CMakeLists.txt" >&2; exit 1; }
ARCH=$(dpkg --print-architecture)
MAINTAINER=${TG_DEB_MAINTAINER:-Kestrel Co <tollgate@kestrel.example.com>}
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH

mkdir -p "$OUTDIR"
OUTDIR=$(cd "$OUTDIR" && pwd)
WORK=$(mktemp -d "$OUTDIR/.deb-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
PKG=$WORK/tollgated
DOC=$PKG/usr/share/doc/tollgated
umask 022

install -D -m 755 "$EXE" "$PKG/usr/sbin/tollgated"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$PKG/usr/sbin/tollgated"

mkdir -p "$PKG/lib/systemd/system"
sed 's#/usr/local/bin/tollgated#/usr/sbin/tollgated#g' "$ROOT/headless/systemd/tollgated.service" \
    > "$PKG/lib/systemd/system/tollgated.service"

mkdir -p "$PKG/usr/share/man/man8"
sed "s/^\.TH TOLLGATED 8 \"\" \"Tollgate\"/.TH TOLLGATED 8 \"\" \"Tollgate $VERSION\"/" "$ROOT/headless/tollgated.8" \
    | gzip -9n > "$PKG/usr/share/man/man8/tollgated.8.gz"

mkdir -p "$DOC"
cp "$ROOT/headless/debian/README.Debian" "$ROOT/headless/debian/copyright" "$DOC/"
{
    echo "tollgated ($VERSION) unstable; urgency=medium"
    echo
    echo "  * Tollgate $VERSION, built from the project's sources."
    echo
    echo " -- $MAINTAINER  $(date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n > "$DOC/changelog.gz"

mkdir -p "$PKG/DEBIAN"
for script in postinst prerm postrm; do
    install -m 755 "$ROOT/headless/debian/$script" "$PKG/DEBIAN/$script"
done

# The shared libraries the program needs, as dpkg-shlibdeps finds them (it wants a debian/control).
mkdir -p "$WORK/src/debian"
printf 'Source: tollgated\n\nPackage: tollgated\nArchitecture: any\n' > "$WORK/src/debian/control"
SHLIBS=$(cd "$WORK/src" && dpkg-shlibdeps -O "$PKG/usr/sbin/tollgated" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$SHLIBS" ] || { echo "build-deb.sh: dpkg-shlibdeps found no libraries" >&2; exit 1; }

SIZE=$(du -sk --exclude=DEBIAN "$PKG" | cut -f1)
cat > "$PKG/DEBIAN/control" <<EOF
Package: tollgated
Version: $VERSION
Architecture: $ARCH
Maintainer: $MAINTAINER
Installed-Size: $SIZE
Depends: $SHLIBS, init-system-helpers (>= 1.52)
Section: net
Priority: optional
Description: small SOCKS4 and SOCKS5 proxy server
 Tollgate is a small, fast SOCKS proxy: a SOCKS4 and SOCKS5 server (CONNECT
 tunnels and SOCKS5 UDP ASSOCIATE) with access rules (allowed client address
 ranges, a switch per SOCKS version, an optional SOCKS5 user name and password,
 a limit on simultaneous sessions) and a per-run session log.
 .
 This package runs it as the systemd service tollgated, which serves this
 machine only (127.0.0.1:1080) until its settings say otherwise. The service
 reloads its settings file on SIGHUP (systemctl reload) and writes its
 statistics and a snapshot of its sessions on SIGUSR1.
EOF
(cd "$PKG" && find . -type f ! -path './DEBIAN/*' | sed 's#^\./##' | LC_ALL=C sort | xargs md5sum) \
    > "$PKG/DEBIAN/md5sums"

find "$PKG" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
DEB=$OUTDIR/tollgated_${VERSION}_$ARCH.deb
dpkg-deb --root-owner-group -Zxz --build "$PKG" "$DEB" >/dev/null
echo "$DEB"
