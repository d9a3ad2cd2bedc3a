#!/bin/sh
# Installs the Debian packages Tarvel needs that this machine lacks, and nothing else.
#   sh tools/setup.sh           what building the library and the `tarvel` command needs
#   sh tools/setup.sh --python  that, plus what the Python module `tarvel` needs
#   sh tools/setup.sh --tests   all of that, plus what the test suites, sanitizers and benchmarks
#                               need
# Safe to run again: with nothing missing it installs nothing and says nothing.
set -eu

build_packages="g++ cmake ninja-build pkg-config libsentencepiece-dev nlohmann-json3-dev
libcli11-dev libtbb-dev libpcre2-dev libicu-dev libcpp-httplib-dev libsqlite3-dev libhiredis-dev"
python_packages="python3-dev pybind11-dev python3-numpy"
test_packages="python3-pytest python3-jinja2 clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev valgrind
locales nodejs tmux redis-server"

case "${1:-}" in
  "") wanted="$build_packages" ;;
  --python) wanted="$build_packages $python_packages" ;;
  --tests) wanted="$build_packages $python_packages $test_packages" ;;
  *) echo "setup: unknown argument '$1' (use --python, --tests or nothing)" >&2; exit 2 ;;
esac

missing=""
for p in $wanted; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
missing="${missing# }"
[ -z "$missing" ] && exit 0

if ! command -v apt-get >/dev/null 2>&1; then
  echo "setup: apt-get is not available; install these packages by hand: $missing" >&2
  exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: not running as root; install these packages by hand (sudo apt-get install $missing)" >&2
  exit 1
fi

echo "setup: installing $missing"
export DEBIAN_FRONTEND=noninteractive
# debconf would otherwise warn on stderr that it cannot ask questions, which none of these has.
export DEBCONF_NOWARNINGS=yes
apt-get update -qq >/dev/null
# shellcheck disable=SC2086 # the list is meant to split into words
apt-get install -y -qq --no-install-recommends $missing >/dev/null
