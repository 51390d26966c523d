"""Builds the package target; checks the zip's exact contents, stripped binaries, the executables' version."""
import re, struct, subprocess, sys, zipfile

cmake, build, version = sys.argv[1:4]
subprocess.run([cmake, "--build", build, "--target", "package"], check=True, stdout=subprocess.DEVNULL)
top = f"quorvanta-apiclient-{version}-win64/"
exes = ["quorvanta-apiclient.exe", "quorvanta-embedded-server.exe"]
expected = (
    exes
    + ["quorvanta_errors.dll", "README-embedded-server.md", "LICENSE", "operating.md"]
    + [
        "notices/" + n
        for n in (
            "Boost-BSL-1.0.txt",
            "MinGW-w64-runtime-and-winpthreads.txt",
            "libstdc++-GCC-runtime-library-exception.txt",
        )
    ]
)


def value(data, key):  # a StringFileInfo value: the key, padding to 32 bits, the text
    found = re.search(re.escape((key + "\0").encode("utf-16-le")) + rb"(?:\0\0)?((?:(?!\0\0)..)*)", data, re.S)
    return found and found[1].decode("utf-16-le")


with zipfile.ZipFile(f"{build}/{top[:-1]}.zip") as package:
    files = sorted(n for n in package.namelist() if not n.endswith("/"))
    if files != sorted(top + n for n in expected):
        sys.exit(f"contents: {files}")
    failures = []
    for name in exes + ["quorvanta_errors.dll"]:
        data = package.read(top + name)
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe : pe + 4] != b"PE\0\0" or struct.unpack_from("<II", data, pe + 12) != (0, 0):
            failures.append(f"{name}: not a stripped PE file")
    major, minor, patch = (int(part) for part in version.split("."))
    for name in exes:
        data = package.read(top + name)
        fixed = data.find(struct.pack("<I", 0xFEEF04BD))
        if fixed < 0 or struct.unpack_from("<II", data, fixed + 8) != (major << 16 | minor, patch << 16):
            failures.append(f"{name}: fixed file version is not {version}")
        strings = {
            key: value(data, key)
            for key in ("FileVersion", "ProductVersion", "ProductName", "OriginalFilename", "FileDescription")
        }
        if (
            strings
            != dict(
                strings,
                FileVersion=version,
                ProductVersion=version,
                ProductName="Quorvanta-APIClient",
                OriginalFilename=name,
            )
            or not strings["FileDescription"]
        ):
            failures.append(f"{name}: version strings {strings}")
print("\n".join(failures) or f"{top[:-1]}.zip: {len(files)} files, stripped, version {version}")
sys.exit(1 if failures else 0)
