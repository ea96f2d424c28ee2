# Shared by scripts/test and scripts/run. Sourced, not run.

# Debian packages the build and the tests need.
KIVO_PACKAGES=(cmake ninja-build g++ ccache clang-14 libclang-rt-14-dev libgtest-dev libgmock-dev
               libbenchmark-dev python3 locales libxml2-dev libssl-dev libsqlite3-dev sqlite3 libpq-dev
               dpkg-dev file groff-base)

# Installs the packages of KIVO_PACKAGES that are missing; refreshes the package lists only when
# something must be installed.
kivo_install_packages() {
    local missing=()
    for package in "${KIVO_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "installing: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2
}
