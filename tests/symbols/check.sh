#!/bin/sh
# Lists the dynamic symbols that the shared library defines and fails on any
# that is not its own interface: namespace background (with the vtables, type
# information, guard variables and thunks of its entities), tmio::TMIO, and the
# tmio_/bufio_ functions. Usage: check.sh <nm> <library>
set -eu
nm=$1
library=$2

names=$("$nm" -D --defined-only -C "$library" | sed -E 's/^[0-9a-fA-F]+ [A-Za-z] //')
own='^((vtable|VTT|typeinfo|typeinfo name|guard variable) for |(non-)?virtual thunk to )?(background::|tmio::TMIO(::|$))'
c_interface='^(tmio|bufio)_'
foreign=$(printf '%s\n' "$names" | grep -Ev -e "$own" -e "$c_interface" || true)
total=$(printf '%s\n' "$names" | grep -c . || true)

if [ -n "$foreign" ]; then
    count=$(printf '%s\n' "$foreign" | grep -c .)
    printf '%s\n' "$foreign"
    echo "$count of $total exported symbols are not the library's own"
    exit 1
fi
echo "$total exported symbols, all the library's own"
