# shellcheck shell=bash
# Sourced by the project's scripts: need PACKAGE... installs with apt-get the
# Debian packages named that are not installed yet, and only those.

# What the build uses, what building the Debian package needs (the README's
# own list), and what the whole test suite needs, the collection's unit tests
# included.
# shellcheck disable=SC2034 # read by the scripts that source this file
build_packages=(cmake make gcc g++ util-linux)
# shellcheck disable=SC2034
package_packages=(build-essential cmake debhelper)
# shellcheck disable=SC2034
test_packages=("${build_packages[@]}" "${package_packages[@]}" git lintian mandoc man-db python3-pytest systemd valgrind)

need() {
    local package missing=()
    for package; do
        dpkg-query -W -f '${Status}' "$package" 2> /dev/null | grep -q ' installed$' ||
            missing+=("$package")
    done
    [ "${#missing[@]}" -eq 0 ] && return
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages (install them as root): ${missing[*]}" >&2
        return 1
    fi
    echo "installing ${missing[*]}" >&2
    # One installation at a time, for scripts that run side by side.
    (
        flock 9 &&
            apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                "${missing[@]}" > /dev/null
    ) 9< /var/cache/apt
}
