#!/usr/bin/env bash
# scripts/lint on a scratch copy of the tree: clean as it is, and failing, with the offending
# line named, on each arrow planted the wrong way.
set -uo pipefail
top=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

fresh() {
  rm -rf "$scratch/tree"
  mkdir -p "$scratch/tree"
  cp -r "$top/src" "$top/sim" "$top/.clang-format" "$scratch/tree/"
}
lint() { LINT_ROOT="$scratch/tree" "$top/scripts/lint" >"$scratch/out" 2>&1; }

fresh
lint || { cat "$scratch/out"; fail "the tree as it is does not pass"; }

# name | file to change | line to add | what the report must name
cases=(
  'link includes the window|src/link/crc16.cpp|#include "shell/frmmodule.h"|src/link/crc16.cpp:1: link must not include shell/frmmodule.h'
  'reader includes the settings|src/reader/cardreader.h|#include "settings/settings.h"|reader must not include settings/settings.h'
  'the virtual reader includes the command line|sim/simserver.h|#include "cli/cli.h"|sim must not include cli/cli.h'
  'settings include the device|src/settings/settings.cpp|#include "reader/registers.h"|settings must not include reader/registers.h'
)
for c in "${cases[@]}"; do
  IFS='|' read -r name file line expected <<<"$c"
  fresh
  { echo "$line"; cat "$scratch/tree/$file"; } >"$scratch/planted" && mv "$scratch/planted" "$scratch/tree/$file"
  lint && fail "$name: passed"
  grep -qF "$expected" "$scratch/out" || { cat "$scratch/out"; fail "$name: '$expected' not reported"; }
done

# A library linked the wrong way, and the widgets in the device core.
fresh
sed -i 's/target_link_libraries(relvix_reader PUBLIC relvix_link/target_link_libraries(relvix_reader PUBLIC relvix_settings relvix_link/' \
  "$scratch/tree/src/reader/CMakeLists.txt"
lint && fail "a CMake link reader -> settings passed"
grep -qF "relvix_reader must not link relvix_settings" "$scratch/out" || { cat "$scratch/out"; fail "CMake link not named"; }
fresh
echo 'target_link_libraries(relvix_link PUBLIC Qt6::Widgets)' >>"$scratch/tree/src/link/CMakeLists.txt"
lint && fail "Widgets in the link passed"
grep -qF "must not link Qt Gui or Widgets" "$scratch/out" || { cat "$scratch/out"; fail "Widgets not named"; }

# A thread_local with a destructor, where a plain one passes.
for planted in 'thread_local QString hms;' 'static thread_local std::string cache = "x";' \
  'thread_local std::vector<int> seen{};'; do
  fresh
  printf 'namespace {\nint f()\n{\n    %s\n    return 0;\n}\n} // namespace\n' "$planted" >>"$scratch/tree/sim/simengine.cpp"
  lint && fail "'$planted' passed"
  if ! grep -qF "sim/simengine.cpp" "$scratch/out" || ! grep -qF "thread_local of a type" "$scratch/out"; then
    cat "$scratch/out"
    fail "'$planted' not named"
  fi
done
fresh
printf 'namespace {\nint g()\n{\n    thread_local int calls = 0;\n    static thread_local const char *name = nullptr;\n    thread_local char text[8] = {};\n    return ++calls + (name ? text[0] : 0);\n}\n} // namespace\n' \
  >>"$scratch/tree/sim/simengine.cpp"
lint || { cat "$scratch/out"; fail "plain thread_local values did not pass"; }

# A file out of format.
fresh
printf 'int   badly_formatted ( ) { return 0 ; }\n' >>"$scratch/tree/src/link/crc16.cpp"
lint && fail "a file out of format passed"
grep -qF "src/link/crc16.cpp" "$scratch/out" || { cat "$scratch/out"; fail "the unformatted file not named"; }
# A script with an unquoted expansion, and the completion with one.
fresh
mkdir -p "$scratch/tree/scripts"
# shellcheck disable=SC2016 # the planted text as it stands
printf '#!/usr/bin/env bash\nrm -f $1\n' >"$scratch/tree/scripts/planted"
lint && fail "an unquoted expansion in a script passed"
grep -qF "scripts/planted:2" "$scratch/out" || { cat "$scratch/out"; fail "the script's finding not named"; }
fresh
# shellcheck disable=SC2016 # the planted text as it stands
printf '_planted() { COMPREPLY=( $(compgen -W "$1") ); }\n' >>"$scratch/tree/src/cli/relvix-cli.bash"
lint && fail "a word-split completion passed"
grep -qF "relvix-cli.bash" "$scratch/out" || { cat "$scratch/out"; fail "the completion's finding not named"; }
echo "lint test: clean tree passes, every planted fault fails and is named"
