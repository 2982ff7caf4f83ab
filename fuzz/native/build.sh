#!/usr/bin/env bash
# Builds the native fuzz targets into OUT (default fuzz/native/build): the engine's
# sources (all but the Python binding, module.cpp and hooks.cpp) and each target, with
# Clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
#   bash fuzz/native/build.sh [OUT]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
engine="$here/../../src/engine"
out=${1:-$here/build}
mkdir -p "$out/obj"
cxx=${CXX:-clang++}
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -Wall -Wextra
       -fsanitize=address,undefined -fno-sanitize-recover=undefined)

# The compilers run side by side; a failed one fails the build.
pids=()
finish() { for pid in "${pids[@]}"; do wait "$pid"; done; pids=(); }
objects=()
for source in "$engine"/*.cpp; do
  name=$(basename "$source" .cpp)
  case $name in module | hooks) continue ;; esac
  objects+=("$out/obj/$name.o")
  "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$out/obj/$name.o" &
  pids+=($!)
done
finish
for target in "$here"/targets/*.cpp; do
  name=$(basename "$target" .cpp)
  "$cxx" "${flags[@]}" -fsanitize=fuzzer "$target" "${objects[@]}" -o "$out/$name" &
  pids+=($!)
done
finish
echo "built: $(cd "$here"/targets && ls ./*.cpp | sed 's|./||; s|\.cpp||' | tr '\n' ' ')in $out"
