# shellcheck shell=bash disable=SC2154  # top, cache, root and out: set by the script that sources this
# What the build scripts share; sourced, never run. The one-time builds
# (QEMU, OVMF, the RISC-V firmware, the SCT, the boot disk) keep each key's
# result in the project's cache, .cache/<what>/<key>/, which every work tree
# linked to it shares; Tools/edk2-build.sh and the firmware builds run the
# kit's `build`.
#
# A one-time build script sets `top` (the project), `cache` (its folder of
# keys, from cache_folder), `root` (this key's folder) and `out` (where the
# work tree sees the result), defines `build` (makes root's files) and
# `publish` (shows them in out), and ends with `cached_build KEEP`.

say() { printf 'bootstrap: %s\n' "$*" >&2; }

# The cache's folder for NAME. A link to a shared cache is resolved, so that
# every work tree locks the same file.
cache_folder() {
  mkdir -p "$top/.cache"
  echo "$(cd "$top/.cache" && pwd -P)/$1"
}

# Whether this key's result is complete; a script may define its own.
built() { [ -f "$root/ready" ]; }

# Builds this key once, under the cache's lock (another work tree may be
# building it meanwhile), then publishes it. After a build only the KEEP
# newest keys are kept: other work trees may still use theirs.
cached_build() {
  local keep=$1
  if ! built; then
    mkdir -p "$cache"
    exec 9>"$cache/lock"
    flock 9
    if ! built; then
      build
      touch "$root/ready"
      ls -1dt "$(dirname "$root")"/*/ready 2>/dev/null | tail -n +$((keep + 1)) | xargs -r -n 1 dirname | xargs -r rm -rf
    fi
  fi
  publish
}

# kit_build KIT WORKSPACE TOOLS PACKAGES_PATH [NAME=VALUE...] -- OPTIONS...
# Runs the kit's `build` with OPTIONS in WORKSPACE (set up by
# Tools/edk2-workspace.sh), with the environment edksetup.sh gives it and
# the NAME=VALUE settings (a cross compiler's prefix).
kit_build() {
  local kit=$1 workspace=$2 tools=$3 packages=$4 settings=() options
  shift 4
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    settings+=("$1")
    shift
  done
  shift
  options=("$@")
  (
    # edksetup.sh reads its arguments and unset variables.
    set +eu --
    cd "$workspace" || exit 1
    unset WORKSPACE
    export EDK_TOOLS_PATH="$tools" CONF_PATH="$workspace/Conf" PACKAGES_PATH="$packages"
    [ ${#settings[@]} -eq 0 ] || export "${settings[@]}"
    # shellcheck disable=SC1091
    . "$kit/edksetup.sh" || exit 1
    command build "${options[@]}"   # the kit's tool, not a script's own build
  )
}
