#!/usr/bin/env bash
# The installer's part of a first start: writes the instrument settings that the configuration
# dialog shows when a value is missing (network link to 192.168.1.100, COM1, psi, normal
# refill speed) into the settings store, for the default instance and for the instance named
# as the second argument. A value that is there already, of any type, is left as it is.
# Usage: install-defaults.sh REGTOOL [INSTANCE]
set -uo pipefail
tool=${1:?usage: install-defaults.sh REGTOOL [INSTANCE]}
keys=('HKCU\Software\TressivanLabs\Zentrova\Instrument')
case "${2:-}" in
  1|2|3|4) keys+=("HKCU\\Software\\TressivanLabs\\Zentrova\\Instrument$2") ;;
esac
defaults='ConnectMethod dword 1
IP sz 192.168.1.100
COM sz COM1
PressureMeasure sz psi
RefillSpeed dword 55'
status=0
for key in "${keys[@]}"; do
  while read -r name type value; do
    "$tool" read "$key" "$name" >/dev/null 2>&1 && continue
    if ! "$tool" write "$key" "$name" "$type" "$value"; then
      echo "install-defaults: could not write $name under $key" >&2
      status=1
    fi
  done <<<"$defaults"
done
exit $status
