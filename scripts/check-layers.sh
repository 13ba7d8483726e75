#!/usr/bin/env bash
# Fails when a file includes a header of a higher layer, and prints the tests' share of the code.
#
# Layers, bottom up: base platform core names events transport transfer factory, then tools.
# A quoted include "layer/File.hpp" belongs to its folder. A public header <tavsock/X.hpp> belongs
# to the layer whose folder holds X.cpp; one without a .cpp (value types, callback interfaces,
# the umbrella) to the highest layer among the public headers it includes, base when none.
# tests/, bench/, fuzz/ and examples/ sit above everything and are not checked.
set -euo pipefail
cd "$(dirname "$0")/.."

git grep -n -E '^\s*#\s*include\s*[<"]' -- '*.cpp' '*.hpp' '*.h' |
  awk -v files="$(git ls-files -- '*.cpp')" '
    BEGIN {
      n = split("base platform core names events transport transfer factory tools", order, " ")
      for (i = 1; i <= n; i++) rank[order[i]] = i
      split(files, list, "\n")
      for (i in list) {
        k = split(list[i], part, "/")
        if (part[1] in rank && part[1] != "tools") { b = part[k]; sub(/\.cpp$/, "", b); home[b] = part[1] }
      }
    }
    {
      file = $0; sub(/:.*/, "", file)
      rest = substr($0, length(file) + 2); line = rest; sub(/:.*/, "", line)
      inc = rest; sub(/^[^<"]*[<"]/, "", inc); sub(/[>"].*/, "", inc)
      top = file; sub(/\/.*/, "", top)
      if (top == "include") {
        hdr = file; sub(/.*\//, "", hdr); sub(/\.hpp$/, "", hdr)
        if (inc ~ /^tavsock\//) { d = inc; sub(/.*\//, "", d); sub(/\.hpp$/, "", d); uses[hdr] = uses[hdr] " " d }
      }
      m++; F[m] = file; N[m] = line; I[m] = inc
    }
    function layer_of_public(h,    l, u, k, i, best) {
      if (h in home) return home[h]
      if (h in done) return done[h]
      done[h] = "base"; best = "base"
      k = split(uses[h], u, " ")
      for (i = 1; i <= k; i++) { l = layer_of_public(u[i]); if (rank[l] > rank[best]) best = l }
      done[h] = best
      return best
    }
    function layer_of_file(f,    t, h) {
      t = f; sub(/\/.*/, "", t)
      if (t == "include") { h = f; sub(/.*\//, "", h); sub(/\.hpp$/, "", h); return layer_of_public(h) }
      return (t in rank) ? t : ""
    }
    END {
      for (j = 1; j <= m; j++) {
        from = layer_of_file(F[j]); if (from == "") continue
        to = I[j]
        if (to ~ /^tavsock\//) { sub(/.*\//, "", to); sub(/\.hpp$/, "", to); to = layer_of_public(to) }
        else sub(/\/.*/, "", to)
        if ((to in rank) && rank[to] > rank[from]) {
          printf "%s:%s includes %s (%s -> %s)\n", F[j], N[j], I[j], from, to; bad = 1
        }
      }
      exit bad
    }' >&2 || { echo "check-layers: an include reaches a higher layer (see above)" >&2; exit 1; }

# Non-blank, non-comment lines of the C/C++ files git tracks: tests/ against everything else.
count() {
  git ls-files -- '*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hh' '*.hpp' '*.ipp' | grep -E "$1" |
    xargs -r cat | grep -c -v -E '^\s*(//.*)?$' || true
}
tests=$(count '^tests?/')
other=$(( $(count '.') - tests ))
echo "check-layers: includes point down; tests $tests lines, other code $other lines, tests = $(( 100 * tests / other ))% of the code"
