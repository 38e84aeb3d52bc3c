#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; skips what is present.
set -eu
packages=(
  cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  wine wine64 googletest python3-pyftpdlib python3-pytest python3-pefile python3-pyte
  liblnk-utils curl unzip clang-format openssl
  zip 7zip libarchive-tools vsftpd nginx-light
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi
echo "setup: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
# The tests start vsftpd and nginx as their own processes on loopback; a system
# service that the installation started would hold port 21 on every address.
for service in vsftpd nginx; do
  if [[ " ${missing[*]} " == *" $service"* ]] && command -v invoke-rc.d >/dev/null; then
    "${sudo_cmd[@]}" invoke-rc.d "$service" stop >/dev/null 2>&1 || true
  fi
done
