"""Builds the guests' boot image from Debian packages alone: Debian's kernel
and its modules, unpacked (never installed), and a busybox initramfs whose
init mounts the machine's /usr and /etc over 9p.

    /usr/bin/python3 sim/vm/image.py [BUILD_DIR]      (default: build-vm/)

Everything is cached in BUILD_DIR: a second run downloads and builds nothing.
The kernel is the one that linux-image-amd64 depends on, kept per version in
BUILD_DIR/kernel/<package>_<version>/ (the unpacked package, with depmod run
on it); the initramfs is named after a hash of what goes into it.
"""

import dataclasses
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
# PEMRA_BUILD_VM names another folder.
DEFAULT_BUILD_DIR = os.environ.get("PEMRA_BUILD_VM", os.path.join(REPO, "build-vm"))
KERNEL_META_PACKAGE = "linux-image-amd64"
KERNEL_PACKAGE = re.compile(r"^linux-image-6\.1\.0-[0-9]+-amd64$")
BUSYBOX = "/bin/busybox"
INIT_SCRIPT = os.path.join(HERE, "init")
# What init needs before it can mount anything: the virtio PCI transport,
# the consoles and ports of virtio-serial, and 9p over virtio.
BOOT_MODULES = ("virtio_pci", "virtio_console", "9pnet_virtio", "9p")
UNPACKED_MARK = ".unpacked"


@dataclasses.dataclass(frozen=True)
class Image:
    kernel_version: str   # e.g. 6.1.0-57-amd64
    kernel_tree: str      # the unpacked package: boot/, lib/modules/<version>/
    bzimage: str
    initramfs: str


class ImageError(Exception):
    pass


def _run(command, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)
    if result.returncode != 0:
        raise ImageError(f"{' '.join(command)} failed ({result.returncode}):\n{result.stderr}")
    return result.stdout


def resolve_kernel_package():
    """(package, version) of the kernel that linux-image-amd64 depends on."""
    depends = _run(["apt-cache", "depends", KERNEL_META_PACKAGE])
    names = [line.split(":", 1)[1].strip() for line in depends.splitlines()
             if line.strip().startswith("Depends:")]
    packages = [name for name in names if KERNEL_PACKAGE.match(name)]
    if not packages:
        raise ImageError(f"{KERNEL_META_PACKAGE} depends on no linux-image-6.1.0-*-amd64 package: {names}")
    package = packages[0]
    show = _run(["apt-cache", "show", "--no-all-versions", package])
    version = re.search(r"^Version: (\S+)$", show, re.MULTILINE).group(1)
    return package, version


def cached_kernel_trees(build_dir):
    marks = glob.glob(os.path.join(build_dir, "kernel", "*", UNPACKED_MARK))
    return sorted(os.path.dirname(mark) for mark in marks)


def _kernel_version(tree):
    versions = os.listdir(os.path.join(tree, "lib", "modules"))
    if len(versions) != 1:
        raise ImageError(f"expected one module tree in {tree}, found {versions}")
    return versions[0]


def _unpack_kernel(package, version, tree):
    """apt-get download, dpkg -x, depmod -b: the package's kernel and modules
    in `tree`, nothing installed."""
    with tempfile.TemporaryDirectory(dir=os.path.dirname(tree)) as download_dir:
        _run(["apt-get", "download", f"{package}={version}"], cwd=download_dir)
        (deb,) = glob.glob(os.path.join(download_dir, "*.deb"))
        shutil.rmtree(tree, ignore_errors=True)
        _run(["dpkg", "-x", deb, tree])
    _run(["depmod", "-b", tree, _kernel_version(tree)])
    open(os.path.join(tree, UNPACKED_MARK), "w").close()


def kernel_tree(build_dir):
    """The unpacked kernel package for the current linux-image-amd64, reused
    when already there; an earlier one when apt cannot tell the current one."""
    try:
        package, version = resolve_kernel_package()
    except ImageError:
        cached = cached_kernel_trees(build_dir)
        if cached:
            return cached[-1]
        raise
    tree = os.path.join(build_dir, "kernel", f"{package}_{version}")
    if not os.path.exists(os.path.join(tree, UNPACKED_MARK)):
        os.makedirs(os.path.dirname(tree), exist_ok=True)
        _unpack_kernel(package, version, tree)
    return tree


def _module_dependencies(modules_dir):
    """modules.dep as name -> (relative path, [names it needs])."""
    def name(path):
        return os.path.basename(path).split(".ko")[0].replace("-", "_")

    table = {}
    with open(os.path.join(modules_dir, "modules.dep")) as dep:
        for line in dep:
            path, needs = line.split(":", 1)
            table[name(path)] = (path, [name(need) for need in needs.split()])
    return table


def boot_modules(modules_dir):
    """Paths (relative to modules_dir) of BOOT_MODULES and what they need, in
    an order insmod can load them; modules built into the kernel are left out."""
    table = _module_dependencies(modules_dir)
    ordered = []

    def add(name):
        if name not in table or table[name][0] in ordered:
            return
        for need in table[name][1]:
            add(need)
        ordered.append(table[name][0])

    for module in BOOT_MODULES:
        add(module.replace("-", "_"))
    return ordered


def _initramfs_inputs(tree, version, modules):
    digest = hashlib.sha256()
    modules_dir = os.path.join(tree, "lib", "modules", version)
    for path in [os.path.abspath(__file__), INIT_SCRIPT, BUSYBOX] + [os.path.join(modules_dir, m) for m in modules]:
        with open(path, "rb") as data:
            digest.update(data.read())
    return digest.hexdigest()[:16]


def _write_initramfs(tree, version, modules, target):
    """A newc cpio of: /init, busybox, the boot modules in /modules with their
    load order, and the merged-/usr links that the shared /usr needs."""
    modules_dir = os.path.join(tree, "lib", "modules", version)
    with tempfile.TemporaryDirectory() as root:
        os.chmod(root, 0o755)  # the guest's /, which every user crosses
        for folder in ("busybox", "modules", "usr", "etc", "proc", "sys", "dev"):
            os.mkdir(os.path.join(root, folder))
        for link in ("bin", "sbin", "lib", "lib64"):
            os.symlink(f"usr/{link}", os.path.join(root, link))
        shutil.copy(BUSYBOX, os.path.join(root, "busybox", "busybox"))
        shutil.copy(INIT_SCRIPT, os.path.join(root, "init"))
        os.chmod(os.path.join(root, "init"), 0o755)
        # Debian 12's modules are not compressed: insmod takes them as they are.
        for module in modules:
            shutil.copy(os.path.join(modules_dir, module), os.path.join(root, "modules"))
        with open(os.path.join(root, "modules", "order"), "w") as order:
            order.write("\n".join(os.path.basename(module) for module in modules) + "\n")
        listing = subprocess.run(["find", "."], cwd=root, stdout=subprocess.PIPE, check=True).stdout
        partial = target + ".partial"
        with open(partial, "wb") as out:
            cpio = subprocess.Popen([BUSYBOX, "cpio", "-o", "-H", "newc", "-R", "0:0"], cwd=root,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            gzip = subprocess.Popen(["gzip", "-1"], stdin=cpio.stdout, stdout=out)
            cpio.stdout.close()
            cpio.communicate(listing)
            if gzip.wait() != 0 or cpio.returncode != 0:
                raise ImageError("could not write the initramfs")
        os.replace(partial, target)


def build_image(build_dir=DEFAULT_BUILD_DIR):
    """The boot image in build_dir, built where missing."""
    build_dir = os.path.abspath(build_dir)
    tree = kernel_tree(build_dir)
    version = _kernel_version(tree)
    modules = boot_modules(os.path.join(tree, "lib", "modules", version))
    initramfs = os.path.join(build_dir, f"initramfs-{version}-{_initramfs_inputs(tree, version, modules)}.cpio.gz")
    if not os.path.exists(initramfs):
        for stale in glob.glob(os.path.join(build_dir, f"initramfs-{version}-*.cpio.gz")):
            os.remove(stale)
        _write_initramfs(tree, version, modules, initramfs)
    return Image(version, tree, os.path.join(tree, "boot", f"vmlinuz-{version}"), initramfs)


def main(argv):
    build_dir = argv[1] if len(argv) > 1 else DEFAULT_BUILD_DIR
    started = time.monotonic()
    image = build_image(build_dir)
    print(f"kernel     {image.bzimage}\ninitramfs  {image.initramfs}\n"
          f"image ready in {time.monotonic() - started:.1f} s")


if __name__ == "__main__":
    main(sys.argv)
