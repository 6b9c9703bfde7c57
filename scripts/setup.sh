#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root). Returns at once when all is present.
# 32-bit Wine is installed on every host, also where the kernel cannot run it: the tests probe that.
set -euo pipefail
need=()
have() { command -v "$1" >/dev/null 2>&1; }
have i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686)
have x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64)
have wine || need+=(wine)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386 libwine:i386)
# Wine's preloaders (Debian only suggests them) reserve the address ranges Windows needs before anything
# else is mapped; without them a start now and then fails silently (README, "Tests under Wine").
[ -x /usr/lib/wine/wine64-preloader ] || need+=(wine64-preloader)
[ -x /usr/lib/wine/wine-preloader ] || need+=(wine32-preloader:i386)
have clang++-14 || need+=(clang-14)
have ld.lld-14 || need+=(lld-14)
have llvm-strip-14 && have llvm-pdbutil-14 || need+=(llvm-14)
have cmake || need+=(cmake)
[ -f /usr/include/fmt/printf.h ] || need+=(libfmt-dev)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
ls /usr/lib/jvm/*/include/jni.h >/dev/null 2>&1 || need+=(openjdk-17-jdk-headless)
have python3 || need+=(python3)
have flock || need+=(util-linux)
# Signing and checking signatures of the release packages (scripts/package.sh, tests/e2e/test_package.py).
have osslsigncode || need+=(osslsigncode)
have openssl || need+=(openssl)
if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi
echo "setup: installing ${need[*]}" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
