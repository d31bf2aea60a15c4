#!/usr/bin/env bash
# Installs every Debian package the project needs to build and test.
# Idempotent: packages already present are left alone; apt-get update runs only
# when something is missing. Run as root (or through sudo).
# python3-scipy, python3-anndata, python3-h5py, r-cran-seurat and r-cran-hdf5r are only used
# by the tests that open our matrices the way users do (scipy, h5py and anndata; Seurat's
# Read10X and Read10X_h5); on a fresh machine R adds about 3.5 minutes.
# snakemake runs the many-sample workflow in workflow/ (and its test).
set -euo pipefail

PACKAGES=(
  g++ cmake make pkg-config
  googletest libgtest-dev
  zlib1g-dev libisal-dev
  libhdf5-dev
  libdivsufsort-dev
  libminimap2-dev
  libjsoncpp-dev
  nodejs node-nan
  clang libclang-rt-14-dev
  python3
  python3-scipy python3-anndata python3-h5py r-cran-seurat r-cran-hdf5r
  snakemake
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
