#!/bin/bash
# Fails unless the driver's dynamic symbol table defines exactly the ten IFD
# handler entry points (plus the linker's version node).
set -euo pipefail
expected="IFDHCloseChannel
IFDHControl
IFDHCreateChannel
IFDHCreateChannelByName
IFDHGetCapabilities
IFDHICCPresence
IFDHPowerICC
IFDHSetCapabilities
IFDHSetProtocolParameters
IFDHTransmitToICC"
actual=$(nm -D --defined-only "$1" | awk '$2 != "A" {print $3}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the ten entry points:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "exports: the ten IFDH entry points only"
