"""Builds the release zip twice, in this build folder and in a second one of its own (another path, time zone and
umask, a few minutes later), and checks what an administrator receives: exactly the expected files, the same bytes
and SHA-256 from both builds, a checksum file that matches, stripped binaries that name no folder of the build machine,
version resources, the Windows version the code is compiled for in the PE headers, the commit's time as their time
stamp, and CRLF line endings in the text files."""

import hashlib, os, re, struct, subprocess, sys, zipfile
from pathlib import Path

cmake, build, version = sys.argv[1], Path(sys.argv[2]).resolve(), sys.argv[3]
source = Path(__file__).resolve().parents[2]
rebuild = build / "package-rebuild"
top = f"quorvanta-apiclient-{version}-win64"
outputs = (f"{top}.zip", f"{top}.zip.sha256")
binaries = ["quorvanta-apiclient.exe", "quorvanta-embedded-server.exe", "quorvanta_errors.dll"]
notices = ("Boost-BSL-1.0.txt", "MinGW-w64-runtime-and-winpthreads.txt", "libstdc++-GCC-runtime-library-exception.txt")
texts = ["README-embedded-server.md", "LICENSE", "operating.md"] + ["notices/" + n for n in notices]
RT_MESSAGETABLE, RT_VERSION, VFT_APP, VFT_DLL = 11, 16, 1, 2
# Both builds take their time from the commit, never from the caller.
environment = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}


def cached(name):
    found = re.search(rf"^{name}:\w+=(.*)$", (build / "CMakeCache.txt").read_text(), re.M)
    return found[1] if found else ""


def make_package(folder, **options):
    for made in outputs:  # none left from an earlier run
        (folder / made).unlink(missing_ok=True)
    subprocess.run(
        [cmake, "--build", folder, "--target", "package"], check=True, stdout=subprocess.DEVNULL, timeout=600, **options
    )
    missing = [made for made in outputs if not (folder / made).exists()]
    if missing:
        sys.exit(f"the package target in {folder} made no {' and no '.join(missing)}")
    return (folder / f"{top}.zip").read_bytes(), (folder / f"{top}.zip.sha256").read_text()


def pe_facts(data):
    """The header fields a release fixes, and the resource types the file holds."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, stamp, symbols, symbol_count, optional_size = struct.unpack_from("<HIIIH", data, pe + 6)
    optional = pe + 24
    resources = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]
    types = []
    for index in range(sections):
        _, address, size, offset = struct.unpack_from("<IIII", data, optional + optional_size + 40 * index + 8)
        if address <= resources < address + size:
            root = offset + resources - address
            named, numbered = struct.unpack_from("<HH", data, root + 12)
            types = [struct.unpack_from("<I", data, root + 16 + 8 * i)[0] for i in range(named, named + numbered)]
    return {
        "signature": data[pe : pe + 4],
        "stamp": stamp,
        "symbols": (symbols, symbol_count),
        "os": struct.unpack_from("<HH", data, optional + 40),
        "subsystem": struct.unpack_from("<HH", data, optional + 48),
        "resources": types,
    }


def version_string(data, key):  # a StringFileInfo value: the key, padding to 32 bits, the text
    found = re.search(re.escape((key + "\0").encode("utf-16-le")) + rb"(?:\0\0)?((?:(?!\0\0)..)*)", data, re.S)
    return found and found[1].decode("utf-16-le")


def fixed_file_info(data):  # VS_FIXEDFILEINFO: the version at 8, the file type at 36
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    return at >= 0 and struct.unpack_from("<II", data, at + 8) + struct.unpack_from("<I", data, at + 36)


def entries(package):
    with zipfile.ZipFile(package) as archive:
        return [(i.filename, i.date_time, i.CRC, i.external_attr, i.extra) for i in archive.infolist()]


package, checksum = make_package(build, env=environment)
if not (rebuild / "CMakeCache.txt").exists():
    # The same compiler, Boost headers and Boost.Filesystem sources; no tests.
    settings = [
        "CMAKE_BUILD_TYPE",
        "CMAKE_TOOLCHAIN_FILE",
        "QUORVANTA_BOOST_INCLUDE_ROOT",
        "QUORVANTA_BOOST_FILESYSTEM_SOURCE_DIR",
    ]
    configure = [cmake, "-S", source, "-B", rebuild, "-G", cached("CMAKE_GENERATOR"), "-DQUORVANTA_BUILD_TESTS=OFF"]
    subprocess.run(
        configure + [f"-D{s}={cached(s)}" for s in settings], check=True, stdout=subprocess.DEVNULL, timeout=120
    )
elsewhere = dict(environment, TZ="NZST-12")
package_again, checksum_again = make_package(rebuild, env=elsewhere, preexec_fn=lambda: os.umask(0o027))

failures = []
if (package, checksum) != (package_again, checksum_again):
    first, second = entries(build / f"{top}.zip"), entries(rebuild / f"{top}.zip")
    differing = sorted({e[0] for e in set(first) ^ set(second)}) or ["the order or encoding of the entries"]
    failures.append(f"the second build gave another zip: {', '.join(differing)}; {checksum_again.strip()}")
if checksum != f"{hashlib.sha256(package).hexdigest()}  {top}.zip\n":
    failures.append(f"{top}.zip.sha256 does not match the zip: {checksum!r}")

commit_time = subprocess.run(
    ["git", "-C", source, "log", "-1", "--format=%ct"], capture_output=True, text=True, timeout=30
)
stamp = int(commit_time.stdout) if commit_time.returncode == 0 else 315532800
winnt = int(re.search(r"#define _WIN32_WINNT (0x[0-9A-Fa-f]+)", (source / "code/arch/src/WinApi.h").read_text())[1], 16)
windows = (winnt >> 8, winnt & 0xFF)
machine_paths = {str(source), str(build), str(rebuild), os.path.realpath(source), "/usr/"}
major, minor, patch = (int(part) for part in version.split("."))

with zipfile.ZipFile(build / f"{top}.zip") as archive:
    files = sorted(n for n in archive.namelist() if not n.endswith("/"))
    if files != sorted(f"{top}/{n}" for n in binaries + texts):
        sys.exit(f"contents: {files}")
    for name in binaries:
        data = archive.read(f"{top}/{name}")
        facts = pe_facts(data)
        resources = facts.pop("resources")
        expected = {"signature": b"PE\0\0", "stamp": stamp, "symbols": (0, 0), "os": windows, "subsystem": windows}
        if facts != expected:
            failures.append(f"{name}: headers {facts}, expected {expected}")
        if RT_VERSION not in resources or (name.endswith(".dll") and RT_MESSAGETABLE not in resources):
            failures.append(f"{name}: resource types {resources}")
        for path in sorted(p for p in machine_paths if p.encode() in data or p.encode("utf-16-le") in data):
            failures.append(f"{name}: names the build machine's {path}")
        found = fixed_file_info(data)
        expected = (major << 16 | minor, patch << 16, VFT_DLL if name.endswith(".dll") else VFT_APP)
        if found != expected:
            failures.append(f"{name}: fixed file information {found}, expected version {version} as {expected}")
        keys = ("FileVersion", "ProductVersion", "ProductName", "CompanyName", "OriginalFilename", "FileDescription")
        strings = {key: version_string(data, key) for key in keys}
        wanted = dict(strings, FileVersion=version, ProductVersion=version, ProductName="Quorvanta-APIClient")
        wanted.update(CompanyName="Quorvanta", OriginalFilename=name)
        if strings != wanted or not strings["FileDescription"]:
            failures.append(f"{name}: version strings {strings}")
    for name in texts:
        text = archive.read(f"{top}/{name}")
        if text.count(b"\n") != text.count(b"\r\n") or not text.endswith(b"\r\n"):
            failures.append(f"{name}: not every line ends with CRLF")

print("\n".join(failures) or f"{top}.zip: {len(files)} files, the same bytes from two builds, {checksum.split()[0]}")
sys.exit(1 if failures else 0)
