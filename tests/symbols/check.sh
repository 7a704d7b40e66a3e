#!/bin/sh
# Lists the dynamic symbols that the shared library defines and fails on any
# that is not its own interface: namespace background (with the vtables, type
# information, guard variables and thunks of its entities), tmio::TMIO, and
# exactly the public functions of the stream layers (tmio/bufio.h, tmio/tmio.h),
# each of which must be there. Helpers of those layers share the prefixes but
# stay inside the library. Usage: check.sh <nm> <library>
set -eu
nm=$1
library=$2

c_interface=$(printf '%s\n' \
    bufio_open bufio_read bufio_write bufio_flush bufio_sync bufio_wait bufio_close bufio_timeout \
    bufio_type bufio_type_str bufio_status bufio_status_str bufio_fileno bufio_clear_status \
    bufio_set_mem_field \
    tmio_init tmio_create tmio_open tmio_write_tag tmio_write_data tmio_read_tag tmio_read_data \
    tmio_wait tmio_flush tmio_sync tmio_close tmio_delete tmio_set_status tmio_status tmio_status_str \
    tmio_timeout tmio_protocol tmio_stream_protocol tmio_type tmio_stream_handle tmio_monitor)

names=$("$nm" -D --defined-only -C "$library" | sed -E 's/^[0-9a-fA-F]+ [A-Za-z] //')
own='^((vtable|VTT|typeinfo|typeinfo name|guard variable) for |(non-)?virtual thunk to )?(background::|tmio::TMIO(::|$))'
foreign=$(printf '%s\n' "$names" | grep -Ev -e "$own" | grep -vxF -e "$c_interface" || true)
missing=$(printf '%s\n' "$c_interface" | grep -vxF -e "$names" || true)
total=$(printf '%s\n' "$names" | grep -c . || true)

status=0
if [ -n "$foreign" ]; then
    count=$(printf '%s\n' "$foreign" | grep -c .)
    printf '%s\n' "$foreign"
    echo "$count of $total exported symbols are not the library's own"
    status=1
fi
if [ -n "$missing" ]; then
    count=$(printf '%s\n' "$missing" | grep -c .)
    printf '%s\n' "$missing"
    echo "$count functions of the stream layers' interface are not exported"
    status=1
fi
[ "$status" -eq 0 ] && echo "$total exported symbols, all the library's own"
exit "$status"
