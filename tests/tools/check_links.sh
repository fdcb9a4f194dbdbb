#!/bin/sh
# pemra_info may need the PC/SC client library and the C and C++ runtimes
# (and the sanitizer runtimes of a sanitizer build), nothing of the driver's.
set -eu
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
unexpected=$(printf '%s\n' "$needed" \
  | grep -Ev '^(libpcsclite|libstdc\+\+|libm|libgcc_s|libc|lib(a|ub|t)san)\.so' || true)
if [ -n "$unexpected" ]; then
  echo "pemra_info links more than the PC/SC client library:" $unexpected >&2
  exit 1
fi
printf '%s\n' "$needed" | grep -q '^libpcsclite\.so'
