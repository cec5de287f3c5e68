#!/usr/bin/env bash
# Cross-compiles the tool's sources with the Windows implementations of the
# platform layer (Debian's mingw-w64), to check that they build. Not part
# of the test command: it needs the cross compiler, which it installs.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=x86_64-w64-mingw32-g++-posix
command -v "$CXX" >/dev/null || { apt-get update -qq && apt-get install -y -qq g++-mingw-w64-x86-64-posix; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
sources=$(ls Misc/*.cpp app/*.cpp io/*.cpp buffers/*.cpp perf/*.cpp platform/*Common.cpp platform/DynamicLoaderState.cpp platform/DspMemory.cpp \
            platform/*Win.cpp platform/soc/SocInfo.cpp platform/soc/*Win.cpp)
status=0
for f in $sources; do
  if ! $CXX -std=c++17 -O1 -Wall -Wextra -Werror -I. -Icommon -c "$f" -o "$out/$(basename "$f").o" 2>"$out/err"; then
    echo "FAILED $f"; cat "$out/err"; status=1
  fi
done
[ $status -eq 0 ] && echo "All $(echo "$sources" | wc -w) sources compile for Windows"
exit $status
