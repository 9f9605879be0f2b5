#!/bin/sh
# Doxygen input filter: sets the contract labels of the public headers
# (Returns, Throws, Buffers, Thread, Close) in bold, each starting a new line
# of the rendered text as it does in the header. Lines are only changed, never
# added, so warnings keep their line numbers.
exec sed -E \
  -e 's@^([[:space:]]*(\*|///)[[:space:]]+)(Returns|Throws|Buffers|Thread|Close):@\1<br>**\3:**@' \
  -e 's@^([[:space:]]*(/\*\*|///)[[:space:]]*)(Returns|Throws|Buffers|Thread|Close):@\1**\3:**@' \
  "$1"
