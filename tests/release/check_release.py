#!/usr/bin/env python3
"""Checks a Windows release artefact: its format, no symbols or debug sections, ASLR,
DEP and terminal-server awareness, no DLLs outside the Windows system set, msi.dll's
MsiGetFileSignatureInformationW bound by ordinal 224 only, the version resource and the
application manifest, both of the version in CMakeLists.txt. The shipped 32-bit exe
also imports nothing that Windows 7 SP1 lacks (windows_imports.txt) and none of msvcrt's
32-bit time functions.

    check_release.py EXE [OBJDUMP FORMAT]   (default: the 32-bit exe's objdump and format)
"""
import pathlib
import re
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent

SYSTEM_DLLS = {
    "kernel32.dll", "wininet.dll", "wintrust.dll", "crypt32.dll", "msi.dll", "bcrypt.dll",
    "advapi32.dll", "user32.dll", "msvcrt.dll", "ucrtbase.dll", "ws2_32.dll", "shell32.dll",
    "ole32.dll", "ntdll.dll",
}

# The oldest Windows the shipped exe supports, and the releases before it.
SUPPORTED = {"2000", "XP", "Vista", "7"}
# msvcrt.dll's functions of a 32-bit time_t: they wrap in January 2038.
TIME32 = {"time", "_time32", "localtime", "_localtime32", "gmtime", "_gmtime32", "mktime",
          "_mktime32", "ctime", "_ctime32", "difftime", "_difftime32", "_mkgmtime", "_mkgmtime32"}

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def project_version():
    cmake = (HERE.parent.parent / "CMakeLists.txt").read_text()
    return re.search(r"^project\(agent_recovery VERSION (\d+)\.(\d+)\.(\d+)", cmake, re.M).groups()


def imports(headers):
    """(dll, function) pairs, dll in lower case; an ordinal import is "#n"."""
    found = set()
    for block in re.finditer(r"DLL Name: (\S+)\n\s*vma:[^\n]*\n(.*?)\n\n", headers, re.S):
        for entry in block.group(2).splitlines():
            fields = entry.split()
            if len(fields) >= 3 and fields[-1] == "<none>":
                found.add((block.group(1).lower(), "#" + str(ordinal(entry))))
            elif len(fields) >= 3:
                found.add((block.group(1).lower(), fields[-1]))
    return found


# An import-lookup entry with its top bit set names an ordinal in its low 16 bits.
def ordinal(entry):
    fields = entry.split()
    if len(fields) < 3 or fields[-1] != "<none>":
        return None
    value = int(fields[0], 16)
    by_ordinal = value & (1 << (len(fields[0]) * 4 - 1))
    return value & 0xFFFF if by_ordinal else None


def allowed_imports():
    allowed = {}
    for line in (HERE / "windows_imports.txt").read_text().splitlines():
        fields = line.split()
        if fields and not fields[0].startswith("#"):
            allowed[(fields[0].lower(), fields[1])] = fields[2]
    return allowed


def check_windows_floor(headers):
    imported = imports(headers)
    allowed = allowed_imports()
    unknown = sorted(f"{dll}!{name}" for dll, name in imported if (dll, name) not in allowed)
    check(not unknown, f"every import is in windows_imports.txt (not: {unknown}; look up each one's "
          "minimum supported client and add it there)")
    later = sorted(f"{dll}!{name} ({allowed[(dll, name)]})" for dll, name in imported
                   if allowed.get((dll, name), "XP") not in SUPPORTED)
    check(not later, f"no import needs a Windows later than 7 SP1 (found {later})")
    time32 = sorted(name for dll, name in imported if dll == "msvcrt.dll" and name in TIME32)
    check(not time32, f"no 32-bit time_t functions of msvcrt.dll (found {time32})")


def main(exe, objdump="i686-w64-mingw32-objdump", expect_format="pei-i386"):
    major, minor, patch = project_version()
    version = f"{major}.{minor}.{patch}"
    headers = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    check(f"file format {expect_format}" in headers, f"{exe} is {expect_format}")

    sections = subprocess.run([objdump, "-h", exe], check=True, capture_output=True, text=True).stdout
    names = re.findall(r"^\s*\d+\s+(\S+)", sections, re.M)
    debug = [n for n in names if n.startswith((".debug", ".zdebug", ".stab"))]
    check(not debug, f"no debug sections (found {debug})")
    header = subprocess.run([objdump, "-f", exe], check=True, capture_output=True, text=True).stdout
    check("HAS_SYMS" not in header, "no symbol table")

    m = re.search(r"^DllCharacteristics\s+([0-9a-fA-F]+)", headers, re.M)
    characteristics = int(m.group(1), 16) if m else 0
    check(characteristics & 0x0040 != 0, "DYNAMIC_BASE (ASLR)")
    check(characteristics & 0x0100 != 0, "NX_COMPAT (DEP)")
    check(characteristics & 0x8000 != 0, "TERMINAL_SERVER_AWARE")

    dlls = [d.lower() for d in re.findall(r"DLL Name: (\S+)", headers)]
    foreign = [d for d in dlls if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-crt-")]
    check(not foreign, f"imports only Windows system DLLs (found {dlls}, foreign {foreign})")

    msi = re.search(r"DLL Name: msi\.dll\n(.*?)\n\n", headers, re.S | re.I)
    entries = msi.group(1).strip().splitlines()[1:] if msi else []
    check(len(entries) == 1 and ordinal(entries[0]) == 224,
          f"msi.dll imported by ordinal 224 only (entries {entries})")
    if expect_format == "pei-i386":
        check_windows_floor(headers)

    dump = subprocess.run([objdump, "-s", "-j", ".rsrc", exe], check=False, capture_output=True, text=True).stdout
    data = bytearray()
    for line in dump.splitlines():
        m = re.match(r"^ [0-9a-f]+ ((?:[0-9a-f]{2,8} ){1,4})", line)
        if m:
            data += bytes.fromhex(m.group(1).replace(" ", ""))
    fixed = data.find(b"\xbd\x04\xef\xfe")  # VS_FIXEDFILEINFO signature
    check(fixed >= 0, "version resource present")
    if fixed >= 0:
        words = [int.from_bytes(data[fixed + i:fixed + i + 4], "little") for i in range(0, 24, 4)]
        file_ms, file_ls, prod_ms, prod_ls = words[2], words[3], words[4], words[5]
        expected = (int(major) << 16 | int(minor), int(patch) << 16)
        check((file_ms, file_ls) == expected, f"file version {version}.0")
        check((prod_ms, prod_ls) == expected, f"product version {version}.0")
    for key in ("FileVersion", "ProductVersion"):
        needle = (key + "\0").encode("utf-16-le")
        at = data.find(needle)
        value = data[at + len(needle):at + len(needle) + 4 * len(version)] if at >= 0 else b""
        check((version + "\0").encode("utf-16-le") in value, f"{key} string {version}")
    text = data.decode("latin-1")
    check(f'name="Velquora.AgentRecovery" version="{version}.0"' in text, f"manifest: version {version}.0")
    check('level="asInvoker"' in text, "manifest: asInvoker")
    check(text.count("<supportedOS Id=") >= 4, "manifest: supported OS entries")
    check(">true</longPathAware>" in text, "manifest: long-path aware")
    return 1 if failures else 0


if __name__ == "__main__":
    if not 2 <= len(sys.argv) <= 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
