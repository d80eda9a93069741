#!/usr/bin/env bash
# The Mosquitto broker and its command-line clients from Debian's packages, for the
# MQTT bridge's tests (tests/test_tools_mqtt.py skips without them). The tests start
# a broker of their own; the packaged service is not needed.
set -euo pipefail

if command -v mosquitto_sub >/dev/null 2>&1 && { command -v mosquitto || test -x /usr/sbin/mosquitto; } >/dev/null 2>&1; then
    echo "mosquitto and its clients are installed"
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends mosquitto mosquitto-clients
