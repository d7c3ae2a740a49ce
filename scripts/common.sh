# Shared by the scripts: install what is missing (as root, with apt-get).
# shellcheck shell=bash

say() { printf '==> %s\n' "$*"; }

# ensure_packages PKG...: installs the Debian packages that are not installed.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        say "missing packages: ${missing[*]} (run as root to install them, or install them yourself)"
        return 1
    fi
    say "installing ${missing[*]} with apt-get"
    if [ -z "${HUX_APT_UPDATED:-}" ]; then
        apt-get update -qq >/dev/null
        export HUX_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The packages every build needs.
BUILD_PACKAGES=(cmake make g++ libgtest-dev libgmock-dev python3)
