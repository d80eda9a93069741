#!/usr/bin/env bash
# Headless Chromium and its WebDriver from Debian's packages, for the dashboard's
# browser tests (tests/test_dashboard_browser.py skips without them).
set -euo pipefail

if command -v chromium >/dev/null 2>&1 && command -v chromedriver >/dev/null 2>&1; then
    echo "chromium and chromedriver are installed"
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q chromium chromium-driver
chromium --version 2>/dev/null || true
chromedriver --version
