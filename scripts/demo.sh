#!/usr/bin/env bash
# Placeholder until the simulated device exists: start the GUI.
set -e
exec "${1:-build}/app/kt62-update-tool"
