#!/bin/sh
# The C++ compiler of the fuzz build: clang++-16 (Debian 12 has no newer clang), which knows
# C++23 only by its draft name. The project passes -std=c++23, so that argument is renamed and
# everything else goes through unchanged.
for arg do
    shift
    [ "$arg" = "-std=c++23" ] && arg=-std=c++2b
    set -- "$@" "$arg"
done
exec "${FUZZ_CLANGXX:-clang++-16}" "$@"
