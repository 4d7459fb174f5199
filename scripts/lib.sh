# Shared set-up for scripts/test and scripts/demo: sourced, not run.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# install_deps [--tests]: installs what a fresh machine lacks (Debian packages) to build the
# module; with --tests, also what the tests need.
install_deps() {
  local need=()
  [ -f /usr/include/asio.hpp ] || need+=(libasio-dev)
  [ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
  command -v cmake >/dev/null || need+=(cmake)
  command -v g++ >/dev/null || need+=(g++)
  if [ "${1:-}" = "--tests" ]; then
    [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
    # Apache Thrift's own Python library and compiler are the reference peer of the RPC tests.
    [ -d /usr/lib/python3/dist-packages/thrift ] || need+=(python3-thrift)
    command -v thrift >/dev/null || need+=(thrift-compiler)
  fi
  if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
  fi
}

# True when $1 is an interpreter of version 3.12 or later.
is_python_312_plus() {
  [ -n "$1" ] && [ -x "$1" ] && "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' 2>/dev/null
}

# The interpreter to build for: $PYTHON if given; else the active virtual environment's
# ($VIRTUAL_ENV/bin/python), so that `cmake --install` puts the module into that environment;
# else 3.12 (the reference build), else the newest 3.12-or-later we can find. The python3 on
# PATH may be older and is only a last resort.
pick_python() {
  local c
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  if [ -n "${VIRTUAL_ENV:-}" ]; then
    if is_python_312_plus "$VIRTUAL_ENV/bin/python"; then echo "$VIRTUAL_ENV/bin/python"; return; fi
    echo "not building for the virtual environment $VIRTUAL_ENV: its python is not 3.12 or later" >&2
  fi
  for c in /root/.pyenv/versions/3.12*/bin/python3 \
           $(ls -d /root/.pyenv/versions/3.1[3-9]*/bin/python3 2>/dev/null | sort -rV) \
           "$(command -v python3.13 || true)" "$(command -v python3.12 || true)" "$(command -v python3 || true)"; do
    if is_python_312_plus "$c"; then echo "$c"; return; fi
  done
  echo "no Python 3.12 or later found" >&2
  return 1
}

# configure_tree DIR PYTHON [CMAKE ARGS...]: configures one tree for that interpreter.
configure_tree() {
  local dir=$1 python=$2
  shift 2
  cmake -S "$ROOT" -B "$dir" -DPython_EXECUTABLE="$python" "$@" >/dev/null
}

# build_tree DIR PYTHON [CMAKE ARGS...]: configures and builds one tree, tests included.
build_tree() {
  local dir=$1 python=$2
  shift 2
  configure_tree "$dir" "$python" -DBROVANE_TESTS=ON "$@"
  cmake --build "$dir" -j"$(nproc)"
}

# build_module DIR PYTHON: configures a tree and builds the extension module alone. The tests
# stay off in the cache until build_tree turns them on again in the same tree.
build_module() {
  local dir=$1 python=$2
  configure_tree "$dir" "$python" -DBROVANE_TESTS=OFF
  cmake --build "$dir" -j"$(nproc)" --target brovane
}
