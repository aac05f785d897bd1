#!/usr/bin/env python3
"""Checks a Windows release artefact: its format, no symbols or debug sections, ASLR,
DEP and terminal-server awareness, no DLLs outside the Windows system set, msi.dll's
MsiGetFileSignatureInformationW bound by ordinal 224 only, the version resource 1.0.1
and the application manifest."""
import re
import subprocess
import sys

SYSTEM_DLLS = {
    "kernel32.dll", "wininet.dll", "wintrust.dll", "crypt32.dll", "msi.dll", "bcrypt.dll",
    "advapi32.dll", "user32.dll", "msvcrt.dll", "ucrtbase.dll", "ws2_32.dll", "shell32.dll",
    "ole32.dll", "ntdll.dll",
}

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def main(exe, objdump, expect_format):
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
    # An import-lookup entry with its top bit set names an ordinal in its low 16 bits.
    def ordinal(entry):
        fields = entry.split()
        if len(fields) < 3 or fields[-1] != "<none>":
            return None
        value = int(fields[0], 16)
        by_ordinal = value & (1 << (len(fields[0]) * 4 - 1))
        return value & 0xFFFF if by_ordinal else None
    check(len(entries) == 1 and ordinal(entries[0]) == 224,
          f"msi.dll imported by ordinal 224 only (entries {entries})")

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
        check((file_ms, file_ls) == (0x00010000, 0x00010000), "file version 1.0.1.0")
        check((prod_ms, prod_ls) == (0x00010000, 0x00010000), "product version 1.0.1.0")
    for key in ("FileVersion", "ProductVersion"):
        needle = (key + "\0").encode("utf-16-le")
        at = data.find(needle)
        value = data[at + len(needle):at + len(needle) + 16] if at >= 0 else b""
        check(("1.0.1" + "\0").encode("utf-16-le") in value, f"{key} string 1.0.1")
    text = data.decode("latin-1")
    check('level="asInvoker"' in text, "manifest: asInvoker")
    check(text.count("<supportedOS Id=") >= 4, "manifest: supported OS entries")
    check(">true</longPathAware>" in text, "manifest: long-path aware")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
