#!/usr/bin/env bash
# Builds python3-krt460_VERSION_ARCH.deb: the package krt460 for the python3 it was built for,
# with the source package's copyright and changelog. dpkg-deb rather than CPack, whose components
# would rename the krt460 package.
# Arguments: OUTPUT_DIR PACKAGE_DIR(krt460/ with the extension) VERSION PYTHON_VERSION(3.11)
#            MAINTAINER COPYRIGHT CHANGELOG_GZ
set -euo pipefail
out=$1 package=$2 version=$3 python=$4 maintainer=$5 copyright=$6 changelog=$7
arch=$(dpkg --print-architecture)
root=$(mktemp -d "$out/python3-krt460.XXXXXX")
trap 'rm -rf "$root"' EXIT
chmod 0755 "$root"
site=$root/usr/lib/python3/dist-packages/krt460 doc=$root/usr/share/doc/python3-krt460
install -d -m 0755 "$site" "$doc" "$root/DEBIAN"
install -m 0644 "$package"/__init__.py "$package"/__init__.pyi "$package"/py.typed "$site"
extension=$(cd "$package" && ls _krt460.cpython-*.so)
strip --strip-unneeded --remove-section=.comment --remove-section=.note \
    -o "$site/$extension" "$package/$extension"
chmod 0644 "$site/$extension"
install -m 0644 "$copyright" "$doc/copyright"
install -m 0644 "$changelog" "$doc/changelog.gz"
# The shared libraries it needs, as Debian's tools name them.
mkdir "$root/shlibs" "$root/shlibs/debian"
printf 'Source: krt460\n\nPackage: python3-krt460\nArchitecture: any\n' >"$root/shlibs/debian/control"
libraries=$(cd "$root/shlibs" && dpkg-shlibdeps -O "$site/$extension" | sed -n 's/^shlibs:Depends=//p')
rm -r "$root/shlibs"
next=${python%.*}.$((${python#*.} + 1))
cat >"$root/DEBIAN/control" <<CONTROL
Package: python3-krt460
Source: krt460
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: python3 (>= $python), python3 (<< $next), $libraries
Suggests: python3-numpy, python3-pil
Section: python
Priority: optional
Description: Python module to capture the screen of a 160 x 160 dot instrument
 import krt460 gives lab scripts and notebooks what the krt460 command does:
 decode a recorded hardcopy into a picture (numpy arrays without a copy, PNG,
 BMP, Pillow), receive one print from a serial port, and listen print after
 print, also under asyncio. Ctrl-C ends every wait at once and releases the
 port.
CONTROL
(cd "$root" && find usr -type f -printf '%P\n' | sort | sed 's|^|usr/|' | xargs md5sum) \
    >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
dpkg-deb --root-owner-group -Zxz --build "$root" "$out/python3-krt460_${version}_$arch.deb" >/dev/null
echo "$out/python3-krt460_${version}_$arch.deb"
