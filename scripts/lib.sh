# Shared by the scripts: installs missing Debian packages when run as root,
# and says what to install otherwise.

need_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" = 0 ]; then
        echo ":: installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "!! missing Debian packages: ${missing[*]}" >&2
        echo "!! install them with: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
}

# Node.js with npm, from Debian unless the machine already has one.
need_node() {
    if command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1; then
        return 0
    fi
    need_packages nodejs npm
}

build_packages=(cmake g++ make libssl-dev openssl)

jobs() {
    nproc 2>/dev/null || echo 2
}

# The folder of the hub's certificate for scripts/make-cert and scripts/run,
# outside the repository.
cert_dir() {
    echo "${XDG_CONFIG_HOME:-$HOME/.config}/relayhub"
}
