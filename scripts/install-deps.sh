#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the fuzzers and the benchmarks need.
# Idempotent and quiet when everything is there; non-interactive otherwise.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config
  clang libclang-rt-14-dev
  googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix wine64
  tshark
  # Peers of the namespace lab (lab/): web, DNS, SOCKS5, HTTP CONNECT, iperf3, UDP echo.
  dante-server tinyproxy dnsmasq-base iperf3 socat curl dnsutils python3 iproute2 procps
  iputils-ping
  # Reference relay of the proxy benchmarks (run by the benchmark itself, never as a service).
  haproxy
  # DNS load generator of the mode proxy benchmark; nftables for the NAT benchmark's baseline.
  dnsperf nftables
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}) and not root; install them or rerun as root" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; the answer does not matter to us.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
# dante-server and tinyproxy ship services that would start at install (tinyproxy on port 8888
# of the root namespace). The lab starts its own instances in namespaces, so deny every service
# start during the install with a policy-rc.d; one the host already has is left as it is.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# installed by corvane install-deps.sh for the duration of apt-get\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  trap 'rm -f "$policy"' EXIT
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
# On a systemd host the units are still enabled for the next boot.
if [ -d /run/systemd/system ] && command -v systemctl >/dev/null; then
  systemctl disable --now danted.service tinyproxy.service haproxy.service >/dev/null 2>&1 || true
fi
