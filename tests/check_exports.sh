#!/bin/sh
# The shared library exports exactly the six functions and VelReason and
# VelStatusText, nothing else.
set -eu
got=$(nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' ')
want="VelClose VelOpen VelRdB VelRdW VelReason VelStatusText VelWrB VelWrW "
if [ "$got" != "$want" ]; then
  echo "exports: '$got'"
  echo "wanted:  '$want'"
  exit 1
fi
echo "exports: $got"
