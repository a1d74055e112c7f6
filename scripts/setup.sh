#!/usr/bin/env bash
# Installs the build and test tools when they are missing (Debian 12).
set -euo pipefail

# python3-stomp: a second client the tests exchange messages with; libclang-rt-14-dev:
# clang's sanitizer and libFuzzer runtimes, for the fuzzers; doxygen: the API reference
# (the docs target); libssl-dev: OpenSSL for the TLS transport; openssl: makes the test
# certificates (tls-certs.sh).
PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          python3-stomp doxygen libssl-dev openssl)

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
