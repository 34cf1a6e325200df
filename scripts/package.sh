#!/usr/bin/env bash
# Makes the release archive dist/hushgate-VERSION.zip: the plug-in, the README and a SHA-256
# checksum file for both.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/setup.sh
source scripts/build.sh
version=$(sed -n 's/^project(hushgate VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=dist/hushgate-$version
rm -rf "$stage" "$stage.zip"
mkdir -p "$stage"
cp build/gen_hushgate_amp.dll README.md "$stage/"
(cd "$stage" && sha256sum gen_hushgate_amp.dll README.md >SHA256SUMS)
(cd dist && zip -q -r "hushgate-$version.zip" "hushgate-$version")
echo "package: dist/hushgate-$version.zip"
