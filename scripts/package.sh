#!/usr/bin/env bash
# Makes the release: dist/hushgate-VERSION-setup.exe (the installer) and dist/hushgate-VERSION.zip
# (the plug-in, the README and a checksum file for both, for a copy by hand), with the
# checksums of both in dist/SHA256SUMS.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/setup.sh
command -v makensis >/dev/null ||
  { echo "package: makensis not found; install NSIS (apt-get install nsis, or run scripts/setup.sh as root)" >&2; exit 1; }
# A build configured while NSIS was missing has no installer: configuring again finds it.
if grep -q '^MAKENSIS:FILEPATH=.*NOTFOUND' build/CMakeCache.txt 2>/dev/null; then
  cmake --preset mingw >/dev/null || { echo "package: configuring failed; run 'cmake --preset mingw' to see why" >&2; exit 1; }
fi
source scripts/build.sh
version=$(sed -n 's/^project(hushgate VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=dist/hushgate-$version
rm -rf "$stage" "$stage.zip" "$stage-setup.exe" dist/SHA256SUMS
mkdir -p "$stage"
cp build/gen_hushgate_amp.dll README.md "$stage/"
(cd "$stage" && sha256sum gen_hushgate_amp.dll README.md >SHA256SUMS)
(cd dist && zip -q -r "hushgate-$version.zip" "hushgate-$version")
cp "build/hushgate-$version-setup.exe" dist/
(cd dist && sha256sum "hushgate-$version-setup.exe" "hushgate-$version.zip" >SHA256SUMS)
echo "package: dist/hushgate-$version-setup.exe dist/hushgate-$version.zip dist/SHA256SUMS"
