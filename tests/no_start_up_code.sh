#!/usr/bin/env bash
# The DLL starts at DllMain with the runtime's start-up code left out, so nothing it links may
# need that code: no static constructor or destructor, no thread-local data. The tests link the
# same library into programs that do run start-up code, where such a thing would pass unseen.
# Usage: no_start_up_code.sh OBJDUMP LIBRARY
set -euo pipefail
objdump=$1
library=$2
found=$("$objdump" -h "$library" | grep -E '^ *[0-9]+ \.(ctors|dtors|init_array|fini_array|tls|CRT)' || true)
if [ -n "$found" ]; then
  echo "no_start_up_code: $library has sections that need the runtime's start-up code:" >&2
  echo "$found" >&2
  echo "make the object they belong to constant (a constexpr constructor, no destructor)" >&2
  exit 1
fi
echo "no_start_up_code: nothing in $library needs start-up code"
