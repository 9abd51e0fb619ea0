"""A per-user Windows Installer package of the same staged files as the zip,
built by wixl (msitools), which builds MSI files on any OS.

It installs into %LOCALAPPDATA%\\Programs\\<name> with no administrator, puts
a shortcut to the launcher in the Start menu, registers the product with
Windows (Settings, Apps), replaces an older version of the same app (one
UpgradeCode per app) and refuses to replace a newer one.

A per-user component's key path is a registry value under HKCU, as Windows
Installer wants for files in the user's profile; each folder is one
component, removed with its folder on uninstall. wixl stamps every build
with a random package code and the build's time: both are set here from
the package's contents, so the same inputs give the same bytes.
"""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import uuid
from xml.sax.saxutils import quoteattr

from .archive import order, read_content
from .refusal import Refusal

# The namespace of the UpgradeCodes derived from an app's name.
NAMESPACE = uuid.UUID("6f1d3c52-8a43-4c1e-9a57-2b0a8f3e7d41")
# 1980-01-01 00:00:00 UTC as a FILETIME: the zip entries' time too.
FIXED_FILETIME = 119600064000000000
FIXED_MTIME = 315532800
SUMMARY_FMTID = uuid.UUID("F29F85E0-4FF9-1068-AB91-08002B27B3D9").bytes_le
PID_REVISION, PID_CREATED, PID_SAVED = 9, 12, 13
VERSION = re.compile(r"(\d+)(?:\.(\d+))?(?:\.(\d+))?")


def wixl():
    path = shutil.which("wixl")
    if path is None:
        raise Refusal("--msi needs wixl, the MSI builder of msitools: install it "
                      "(apt install wixl, dnf install msitools, brew install msitools, "
                      "or MSYS2's mingw-w64-x86_64-msitools on Windows).")
    return path


def product_version(version, label):
    """Windows Installer compares up to three numbers: 255.255.65535."""
    match = VERSION.fullmatch(version)
    parts = [int(p or 0) for p in match.groups()] if match else None
    if not parts or parts[0] > 255 or parts[1] > 255 or parts[2] > 65535:
        raise Refusal(f"{label} {version} is not a version Windows Installer can "
                      "compare: --msi needs up to three numbers, such as 2.1 or 2.1.3.")
    return ".".join(str(p) for p in parts)


def upgrade_code(name, given, label):
    if given:
        try:
            return str(uuid.UUID(given)).upper()
        except ValueError:
            raise Refusal(f"{label} {given} is not a GUID: give one such as "
                          f"{{{str(uuid.uuid4()).upper()}}} and keep it for every version.")
    return str(uuid.uuid5(NAMESPACE, name.casefold())).upper()


def stage(files, folder):
    """Writes the bundle's files under folder with one fixed time, as the
    cabinet stores each file's time; returns the SHA-256 of names and
    contents."""
    digest = hashlib.sha256()
    for relative in order(files):
        path = os.path.join(folder, *relative.rstrip("/").split("/"))
        digest.update(relative.encode() + b"\0")
        if relative.endswith("/"):
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        data = read_content(files[relative])
        digest.update(hashlib.sha256(data).digest())
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (FIXED_MTIME, FIXED_MTIME))
    return digest


def source(text):
    return quoteattr(text)


def wxs(files, product):
    """The WiX source: a tree of folders, each a component with its files."""
    tree = {}
    for relative in order(files):
        parts = relative.rstrip("/").split("/")
        node = tree
        for part in parts[:-1] if not relative.endswith("/") else parts:
            node = node.setdefault(part + "/", {})
        if not relative.endswith("/"):
            node[parts[-1]] = relative
    ids = {"folder": 0, "file": 0}
    components, lines = [], []
    key = f"Software\\{product['name']}\\Harbor-Lantern"

    def folder(node, directory, indent):
        number = len(components)
        components.append(f"c{number}")
        lines.append(f'{indent}<Component Id="c{number}" '
                     f'Guid="{component_guid(product, directory)}">')
        lines.append(f'{indent}  <RegistryValue Root="HKCU" Key={source(key)} '
                     f'Name="c{number}" Type="integer" Value="1" KeyPath="yes"/>')
        for name, relative in sorted(node.items()):
            if isinstance(relative, str):
                ids["file"] += 1
                lines.append(f'{indent}  <File Id="f{ids["file"]}" Name={source(name)} '
                             f'Source={source("files/" + relative)}/>')
        lines.append(f'{indent}  <RemoveFolder Id="r{number}" On="uninstall"/>')
        lines.append(f"{indent}</Component>")
        for name, child in sorted(node.items()):
            if isinstance(child, dict):
                ids["folder"] += 1
                lines.append(f'{indent}<Directory Id="d{ids["folder"]}" '
                             f'Name={source(name[:-1])}>')
                folder(child, directory + name, indent + "  ")
                lines.append(f"{indent}</Directory>")

    folder(tree, "", " " * 12)
    menu = len(components)
    components.append(f"c{menu}")
    refs = "".join(f'<ComponentRef Id="{c}"/>' for c in components)
    return f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{product['product_code']}" Name={source(product['name'])} Language="1033"
      Version="{product['version']}" Manufacturer={source(product['publisher'])}
      UpgradeCode="{product['upgrade_code']}" Codepage="1252">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perUser"
        Description={source(product['name'])} Manufacturer={source(product['publisher'])}/>
    <MajorUpgrade DowngradeErrorMessage={source(
        f"A newer version of {product['name']} is already installed.")}/>
    <Media Id="1" Cabinet="app.cab" EmbedCab="yes"/>
    <Icon Id="launcher.exe" SourceFile="files/Harbor-Lantern.exe"/>
    <Property Id="ARPPRODUCTICON" Value="launcher.exe"/>
    <Property Id="ARPNOMODIFY" Value="1"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="LocalAppDataFolder">
        <Directory Id="ProgramsFolder" Name="Programs">
          <Directory Id="INSTALLDIR" Name={source(product['name'])}>
{chr(10).join(lines)}
          </Directory>
        </Directory>
      </Directory>
      <Directory Id="ProgramMenuFolder">
        <Component Id="c{menu}" Guid="{component_guid(product, '<menu>')}">
          <Shortcut Id="menu" Name={source(product['name'])}
              Target="[INSTALLDIR]Harbor-Lantern.exe" WorkingDirectory="INSTALLDIR"
              Icon="launcher.exe"/>
          <RegistryValue Root="HKCU" Key={source(key)} Name="menu" Type="integer"
              Value="1" KeyPath="yes"/>
        </Component>
      </Directory>
    </Directory>
    <Feature Id="App" Level="1">{refs}</Feature>
  </Product>
</Wix>
"""


def component_guid(product, folder):
    return str(uuid.uuid5(uuid.UUID(product["upgrade_code"]), "component:" + folder)).upper()


def fix_summary(path, revision):
    """Sets the summary information's package code and times in place: wixl
    writes a random code and the time of the build. The stream is small and
    found by its format id; nothing around it moves."""
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        at = data.find(SUMMARY_FMTID)
        start = at - 28
        if at < 28 or data[start:start + 2] != b"\xfe\xff":
            return False
        section = start + struct.unpack_from("<I", data, at + 16)[0]
        count = struct.unpack_from("<I", data, section + 4)[0]
        for n in range(count):
            pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * n)
            value = section + offset
            kind = struct.unpack_from("<I", data, value)[0]
            if pid in (PID_CREATED, PID_SAVED) and kind == 0x40:
                struct.pack_into("<Q", data, value + 4, FIXED_FILETIME)
            elif pid == PID_REVISION and kind == 0x1E:
                size = struct.unpack_from("<I", data, value + 4)[0]
                text = ("{" + revision + "}").encode("ascii") + b"\0"
                if size != len(text):
                    return False
                data[value + 8:value + 8 + size] = text
        f.seek(0)
        f.write(data)
    return True


def build(files, target, product, scratch):
    """Writes the MSI of files (the bundle's, by their path in it) to target.
    product: name, version, publisher, upgrade_code."""
    folder = os.path.join(scratch, "msi")
    digest = stage(files, os.path.join(folder, "files"))
    # A new product code for each version and content, as a major upgrade
    # needs; the package code follows it.
    digest.update(product["version"].encode())
    product = dict(product, product_code=str(uuid.uuid5(
        uuid.UUID(product["upgrade_code"]), digest.hexdigest())).upper())
    with open(os.path.join(folder, "app.wxs"), "w", encoding="utf-8") as f:
        f.write(wxs(files, product))
    built = os.path.join(folder, "app.msi")
    result = subprocess.run([wixl(), "-a", "x64", "-o", built, "app.wxs"], cwd=folder,
                            capture_output=True, text=True)
    if result.returncode != 0:
        reason = (result.stderr.strip().splitlines() or [f"exit {result.returncode}"])[-1]
        raise Refusal(f"wixl could not build the MSI ({reason}): a name outside the "
                      "Latin letters of code page 1252 is one cause; rename it.")
    fix_summary(built, str(uuid.uuid5(uuid.UUID(product["product_code"]), "package"))
                .upper())
    shutil.move(built, target)
    return target
