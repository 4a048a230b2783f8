#!/bin/bash
# How the programs and modules of a build are linked:
#  - no run path has an empty entry (the loader reads it as the current folder);
#  - no module brings its own copy of the platform layer;
#  - nothing carries a private copy of the C++ runtime: what uses it loads
#    the system's libstdc++;
#  - with the lean linkage: the command-line program carries the platform
#    layer and exports all of it to the modules, and the modules export their
#    entry points and nothing of the C++ runtime or the standard library.
# Usage: check_linkage.sh BIN-DIR LEAN-LINKAGE(0|1)
set -u
bin=$1
lean=$2
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
# Dynamic symbols a file defines, by mangled name, without the version.
# (A name with a version is a library's, copied in by a relocation.)
exported() { nm -D --defined-only "$1" | awk '{print $3}' | grep -v '@' | LC_ALL=C sort -u; }
# Those that belong to the C++ runtime or the standard library.
std_library='^((typeinfo( name)?|vtable|VTT|guard variable) for )?(std::|__gnu_cxx::|__cxxabiv1::)'
runtime_symbols() { exported "$1" | c++filt | grep -E "$std_library|^(__cxa|__gxx|_Unwind|__dynamic_cast|operator new|operator delete)"; }

for elf in "$bin"/*; do
  [[ -f "$elf" && -x "$elf" || "$elf" == *.so ]] || continue
  readelf -h "$elf" >/dev/null 2>&1 || continue
  runpath=$(readelf -d "$elf" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')
  [[ -z "$runpath" ]] && continue
  [[ ":$runpath:" == *::* ]] && fail "$(basename "$elf") has an empty run path entry: '$runpath'"
done
pass "run paths checked"

cli="$bin/kestavane-cli"
modules=("$bin/libsecur32.so" "$bin/libiphlpapi.so" "$bin/libcryptnet.so")
for module in "${modules[@]}" "$bin"/lib*provider.so; do
  needed "$module" | grep -qx 'libkv_platform.so' && fail "$(basename "$module") needs its own libkv_platform.so"
done
pass "modules take the platform from the process that loads them"

if [[ "$lean" != 1 ]]; then
  # (A sanitizer's runtime defines operator new and the throw entry points itself.)
  echo "the lean linkage is off in this build (sanitizers): the rest is not checked"
  exit $((failures > 0))
fi

# The runtime's own entry points, defined inside a file, mean a copy of it.
runtime_code='^(__cxa_throw|__cxa_begin_catch|__gxx_personality_v0|_Unwind_RaiseException|_Znwm|_ZdlPv)$'
for file in "$cli" "${modules[@]}" "$bin/kestavane"; do
  [[ -f "$file" ]] || continue
  copied=$(readelf -Ws "$file" | awk '$7 != "UND" { sub(/@.*/, "", $8); print $8 }' | grep -E "$runtime_code")
  [[ -z "$copied" ]] || fail "$(basename "$file") carries the C++ runtime: $(echo $copied)"
  needed "$file" | grep -qx libstdc++.so.6 || fail "$(basename "$file") does not load the system's libstdc++"
done
pass "one shared C++ runtime"

needed "$cli" | grep -qx 'libkv_platform.so' && fail "kestavane-cli loads libkv_platform.so"

# Every call the platform library offers, the program offers the modules too.
platform_calls() { exported "$bin/libkv_platform.so" | c++filt | grep -vE "$std_library|^_init\$|^_fini\$" | LC_ALL=C sort; }
missing=$(comm -23 <(platform_calls) <(exported "$cli" | c++filt | LC_ALL=C sort))
extra=$(comm -13 <(platform_calls) <(exported "$cli" | c++filt | LC_ALL=C sort))
if [[ -n "$missing" ]]; then
  fail "kestavane-cli does not export these platform calls:"
  echo "$missing"
elif [[ -n "$extra" ]]; then
  fail "kestavane-cli exports more than the platform:"
  echo "$extra" | head -5
else
  pass "kestavane-cli exports the platform's $(platform_calls | wc -l) calls and nothing else"
fi
for file in "$cli" "${modules[@]}"; do
  leaked=$(runtime_symbols "$file")
  if [[ -n "$leaked" ]]; then
    fail "$(basename "$file") exports symbols of its C++ runtime:"
    echo "$leaked" | head -5
  fi
done
pass "no runtime symbol exported"
exit $((failures > 0))
