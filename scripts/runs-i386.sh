#!/usr/bin/env bash
# Exits 0 when this kernel runs 32-bit x86 programs (the 32-bit Wine needs it), 1 when
# not: some kernels are built or booted without IA-32 emulation (ia32_emulation=off).
# The probe is the smallest static i386 program: exit(0) through int 0x80.
set -u
probe=$(mktemp "${TMPDIR:-/tmp}/runs-i386.XXXXXX")
trap 'rm -f "$probe"' EXIT
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'       >"$probe"  # ELF32, LSB
printf '\002\000\003\000\001\000\000\000\124\200\004\010'               >>"$probe" # EXEC, i386, entry
printf '\064\000\000\000\000\000\000\000\000\000\000\000'               >>"$probe" # phoff 52
printf '\064\000\040\000\001\000\000\000\000\000\000\000'               >>"$probe" # one program header
printf '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010' >>"$probe" # LOAD at 0x8048000
printf '\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000' >>"$probe" # 93 bytes, R+X
printf '\061\333\270\001\000\000\000\315\200'                           >>"$probe" # exit(0)
chmod 700 "$probe"
"$probe" 2>/dev/null
