#!/usr/bin/env bash
# Installs the project into a temporary prefix and builds a caller outside the tree against the
# installed package, once with find_package(ZEMATagAcs CONFIG) and once with pkg-config, then
# runs both on an empty catalogue and on a database made by the installed zematag.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

# Runs a step with its output in a log, shown only when the step fails.
quietly() {
  "$@" >"$work/step.log" 2>&1 || {
    tail -40 "$work/step.log" >&2
    echo "check-package: failed: $*" >&2
    exit 1
  }
}

echo "check-package: building and installing into $prefix"
quietly cmake -S "$root" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEMA_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX="$prefix"
quietly cmake --build "$work/build" -j "$(nproc)"
quietly cmake --install "$work/build"

for file in include/ZEMATagAcs.h include/oleauto.h lib/libZEMATagAcs.so lib/libHalvkit0101.so.1 \
            bin/zematag lib/cmake/ZEMATagAcs/ZEMATagAcsConfig.cmake \
            lib/cmake/ZEMATagAcs/ZEMATagAcsConfigVersion.cmake lib/pkgconfig/zematagacs.pc \
            share/ZEMATagAcs/examples/plant/tags.csv; do
  libdir_file=$prefix/$file
  [ -e "$libdir_file" ] || libdir_file=$(ls -d "$prefix"/lib*/"${file#lib/}" 2>/dev/null | head -1)
  [ -e "$libdir_file" ] || { echo "check-package: $file was not installed" >&2; exit 1; }
done
[ -d "$prefix/share/Halvkit0101/nls" ] || { echo "check-package: no language directory" >&2; exit 1; }

# A database made by the installed tool, with the installed example plant.
export HVK_NLS_DIR=$prefix/share/ZEMATagAcs/examples/plant/nls
quietly "$prefix/bin/zematag" init "$work/plant.db" --types "$prefix/share/ZEMATagAcs/examples/plant/types.ini"
"$prefix/bin/zematag" import --quiet "$work/plant.db" "$prefix/share/ZEMATagAcs/examples/plant/tags.csv"

echo "check-package: find_package(ZEMATagAcs CONFIG)"
quietly cmake -S "$root/tests/package/caller" -B "$work/caller" -DCMAKE_PREFIX_PATH="$prefix"
quietly cmake --build "$work/caller"
"$work/caller/caller"
"$work/caller/caller" "$work/plant.db" 300

echo "check-package: pkg-config zematagacs"
libdir=$(dirname "$(ls "$prefix"/lib*/pkgconfig/zematagacs.pc)")
flags=$(PKG_CONFIG_PATH=$libdir pkg-config --cflags --libs zematagacs)
# shellcheck disable=SC2086
g++ -std=c++17 -Wall -Wextra -Werror "$root/tests/package/caller/caller.cpp" -o "$work/caller-pc" \
  $flags -Wl,-rpath,"$(PKG_CONFIG_PATH=$libdir pkg-config --variable=libdir zematagacs)"
"$work/caller-pc"
"$work/caller-pc" "$work/plant.db" 300
echo "check-package: ok"
