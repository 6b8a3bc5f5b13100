#!/bin/sh
# Starts Tarvex from its private folder. The program finds libserchan.so and
# kbflash beside its own executable, so it must run from there rather than be
# copied onto PATH. The folder is found relative to this script, which keeps
# installs under another prefix (/usr/local, ~/.local) working too.
here=$(dirname "$(readlink -f "$0")")
exec "$here/../lib/tarvex/Tarvex" "$@"
