#!/usr/bin/env bash
# Installs what the comparison benchmarks need: the T1 volume (Debian's
# mricron-data) and the peer denoisers (pip, into the project venv when it
# exists, else into the current python). Safe to rerun: skips what is there.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if ! dpkg -s mricron-data >/dev/null 2>&1; then
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq mricron-data
fi
if command -v valgrind >/dev/null 2>&1; then :; else
    # callgrind gives the profile of the speed figures; optional
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq valgrind || true
fi

if [ -n "${PYTHON:-}" ]; then
    py="$PYTHON"
elif [ -x .venv/bin/python ]; then
    py=.venv/bin/python
else
    py="$(command -v python3 || command -v python)"
fi
"$py" -m pip install -q numpy scipy scikit-image dipy opencv-python-headless PyWavelets \
    nibabel matplotlib psutil
echo "bench deps installed for $py"
"$py" - <<'PY'
import glob
hits = glob.glob("/usr/share/**/ch2better.nii.gz", recursive=True)
print("ch2better:", hits[0] if hits else "NOT FOUND")
PY
