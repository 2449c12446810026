# Archives for the module's tests, made by the tools of the same build (make-samples, archive-pack),
# sound and damaged, and the command line to compare the module with.
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

BIN = Path(os.environ.get("ARCHIVE_EXTRACT_BIN", Path(__file__).parents[2] / "build" / "python"))
INDEX_OFFSET = 0xBA000
SECTOR = 2048


def tool(name, *args, check=True):
    """Runs a tool of the build; its stdout lines (it must exit 0 when `check`)."""
    run = subprocess.run([str(BIN / name), *map(str, args)], capture_output=True, text=True)
    if check and run.returncode != 0:
        raise AssertionError(f"{name} {args}: status {run.returncode}: {run.stderr}")
    return run.stdout.splitlines()


def cli_json(*args):
    """archive-extract's JSON lines, whatever its status."""
    return [json.loads(line) for line in tool("archive-extract", "--json", *args, check=False)]


def cli_status(*args):
    return subprocess.run([str(BIN / "archive-extract"), *map(str, args)],
                          capture_output=True).returncode


def files_under(folder):
    """{relative path: bytes} of the files under `folder`."""
    return {p.relative_to(folder).as_posix(): p.read_bytes()
            for p in Path(folder).rglob("*") if p.is_file()}


def sectors(archive):
    """{path: sector} of the archive's entries, from the command line's listing."""
    return {e["path"]: (e["sector"], e["method"]) for e in cli_json("--list", archive)}


@pytest.fixture(scope="session")
def tree(tmp_path_factory):
    """A source folder of sample models and one plain (incompressible) entry."""
    root = tmp_path_factory.mktemp("tree") / "source"
    tool("make-samples", root, "--count", 40, "--seed", 7, "--scale", 0.3)
    (root / "models - m" / "0500.raw").write_bytes(os.urandom(7000))
    return root


@pytest.fixture(scope="session")
def archives(tree, tmp_path_factory):
    """{name: path} of a sound archive and damaged copies of it."""
    folder = tmp_path_factory.mktemp("archives")
    sound = folder / "sound.bin"
    tool("archive-pack", tree, sound)
    made = {"sound": sound}
    where = sectors(sound)
    compressed = [p for p, (_, m) in where.items() if m in ("lz", "rle")]

    def copy(name, change):
        path = folder / f"{name}.bin"
        shutil.copyfile(sound, path)
        with open(path, "r+b") as f:
            change(f)
        made[name] = path

    def damage(f):
        for i, path in enumerate(compressed[:6]):
            start = where[path][0] * SECTOR
            if i % 2:  # the method field: the unsupported method
                f.seek(start + 4)
                method = f.read(1)[0] | 3
                f.seek(start + 4)
                f.write(bytes([method]))
            else:  # the data after the header
                f.seek(start + 16)
                f.write(b"\xff" * 48)

    copy("damaged", damage)
    copy("truncated", lambda f: f.truncate(os.path.getsize(sound) - 3000))
    # Category 20's entry table far past guest RAM: the lookups stop there.
    copy("faulting", lambda f: (f.seek(INDEX_OFFSET + 0x10 + 10 * 20 + 4), f.write(b"\0\0\x70\0")))
    deleted = folder / "deleted.bin"
    shutil.copyfile(sound, deleted)
    tool("archive-pack", "--delete", deleted, compressed[0], compressed[-1])
    made["deleted"] = deleted
    return made


@pytest.fixture(scope="session")
def sound(archives):
    return archives["sound"]
