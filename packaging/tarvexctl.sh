#!/bin/sh
# Starts tarvexctl from its private folder, where it finds libserchan.so and
# kbflash beside itself, as Tarvex does. The folder is found relative to this
# script, which keeps installs under another prefix working too.
here=$(dirname "$(readlink -f "$0")")
exec "$here/../lib/tarvex/tarvexctl" "$@"
