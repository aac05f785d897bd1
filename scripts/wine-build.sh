# Sourced by test.sh, demo.sh and bench/run.sh after the install step: the Windows build the Wine runs
# take ($wine_preset), as tests/CMakeLists.txt chooses it, and why ($wine_why).
if ! "$(dirname "${BASH_SOURCE[0]}")/runs-i386.sh"; then
  wine_preset=mingw64
  wine_why="this kernel does not run 32-bit programs (IA-32 emulation is off)"
elif [ ! -x /usr/lib/wine/wine ]; then
  wine_preset=mingw64
  wine_why="the 32-bit Wine (wine32:i386) is not installed: the install step could not install it"
else
  wine_preset=mingw32
  wine_why="what ships; this machine runs the 32-bit Wine"
fi
wine_exe="build/$wine_preset/agent_recovery.exe ($([ "$wine_preset" = mingw32 ] && echo 32 || echo 64)-bit)"
