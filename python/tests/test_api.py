# The module's own contract: the file object, each exception, threads, Ctrl-C, and the packer's
# commands against archive-pack.
import errno
import io
import os
import shutil
import signal
import tempfile
import threading
import time
from pathlib import Path

import pytest

import archive_extract as ax
from conftest import cli_json, files_under, tool


def entry_of(archive, method):
    with ax.Archive(archive) as a:
        return next(e for e in a.entries() if e.method == method)


@pytest.mark.parametrize("method", ["plain", "lz", "rle"])
def test_file_object_reads_like_bytes_io(sound, method):
    e = entry_of(sound, method)
    with ax.Archive(sound) as a:
        data = a.read(e)
        f = a.open(e.path)
    expected = io.BytesIO(data)  # the archive is closed: the file reads on
    assert isinstance(f, io.RawIOBase) and f.readable() and f.seekable() and not f.writable()
    with pytest.raises(io.UnsupportedOperation):
        f.write(b"x")
    steps = [("seek", 10, 0), ("read", 5), ("seek", 7, 1), ("read", 3), ("seek", -16, 2),
             ("read", 100), ("read", 1), ("seek", 5, 2), ("read", 4), ("seek", 0, 0), ("read",)]
    for step in steps:
        assert getattr(f, step[0])(*step[1:]) == getattr(expected, step[0])(*step[1:]), step
        assert f.tell() == expected.tell()
    assert f.seek(2**64 + 5) == 2**64 + 5 and f.read() == b"" and f.read(3) == b""
    f.seek(3)
    buffer = bytearray(32)
    assert f.readinto(buffer) == 32 and bytes(buffer) == data[3:35]
    assert io.BufferedReader(f).read() == data[35:]
    with pytest.raises(ValueError):
        f.seek(-1)
    f.close()
    with pytest.raises(ValueError):
        f.read()


@pytest.mark.parametrize("call,exception", [
    (lambda a: a.read("models - g/9999.raw"), KeyError),
    (lambda a: a.read("not a path"), KeyError),
    (lambda a: a.open("category 300/0001.raw"), KeyError),
    (lambda a: list(a.entries(members=["models - g/0000.raw", "models - x"])), KeyError),
    (lambda a: list(a.test(members="models - g/99*")), KeyError),
    (lambda a: list(a.entries(categories="q")), ValueError),
    (lambda a: list(a.entries(entries="5-2")), ValueError),
])
def test_bad_requests_raise(sound, call, exception):
    with ax.Archive(sound) as a:
        with pytest.raises(exception):
            call(a)


def test_errors_name_their_cause(archives, tmp_path):
    with pytest.raises(FileNotFoundError) as missing:
        ax.Archive(tmp_path / "none.bin")
    assert str(missing.value) == f"[Errno 2] No such file or directory: '{tmp_path / 'none.bin'}'"
    with pytest.raises(IsADirectoryError):
        ax.Archive(tmp_path)
    odd = os.fsencode(tmp_path) + b"/\xff"  # a name that is not UTF-8
    shutil.copyfile(archives["sound"], odd)
    with ax.Archive(odd) as a:
        assert a.extract(odd + b"-out", members=[b"models - g"])
    with pytest.raises(FileNotFoundError) as missing:
        ax.Archive(odd + b"x")
    assert missing.value.filename == os.fsdecode(odd + b"x")
    short = tmp_path / "short.bin"
    short.write_bytes(b"\0" * 1000)
    with pytest.raises(ax.ArchiveError, match="too short"):
        ax.Archive(short)
    journaled = tmp_path / "j.bin"
    shutil.copyfile(archives["sound"], journaled)
    (tmp_path / "j.bin.update-journal").write_bytes(b"partial")
    with pytest.raises(ax.ArchiveError, match=r"recover\(\)"):
        ax.Archive(journaled)
    assert ax.recover(journaled) == "discarded" and ax.recover(journaled) is None
    with ax.Archive(archives["faulting"]) as a, pytest.raises(ax.MachineFault) as fault:
        list(a.entries())
    assert fault.value.line and not fault.value.line.endswith("\n")
    assert fault.value.line in tool("archive-extract", "--list", archives["faulting"], check=False)
    shutil.copyfile(archives["faulting"], tmp_path / "faulting.bin")
    with pytest.raises(ax.MachineFault) as packing:  # the packer's lookups stop there too
        ax.delete(tmp_path / "faulting.bin", ["models - hn"])
    assert packing.value.line == fault.value.line
    with ax.Archive(archives["damaged"]) as a, pytest.raises(ax.ExtractError) as failed:
        a.extract(tmp_path / "out")
    assert set(failed.value.problems.values()) == {"corrupt", "unsupported"}
    # A link to nothing at a category folder's name: that folder's entries are skipped.
    (tmp_path / "linked").mkdir()
    (tmp_path / "linked" / "models - g").symlink_to("nowhere")
    with ax.Archive(archives["sound"]) as a, pytest.raises(ax.ExtractError) as skipped:
        g = [e.path for e in a.entries(categories="g") if e.method != "nodata"]
        a.extract(tmp_path / "linked")
    assert skipped.value.problems == {
        **{p: "folder" for p in g},
        "models - g": f"cannot create it: File exists; {len(g)} entries skipped"}
    assert len(skipped.value.written) == len(files_under(tmp_path / "linked"))
    # A folder at an entry's name: that entry alone is not written.
    (tmp_path / "blocked" / g[0]).mkdir(parents=True)
    with ax.Archive(archives["sound"]) as a, pytest.raises(ax.ExtractError) as blocked:
        a.extract(tmp_path / "blocked")
    assert blocked.value.problems == {g[0]: "in the way"}
    assert issubclass(ax.ExtractError, ax.Error) and issubclass(ax.EntryError, ax.Error)
    with ax.Archive(archives["sound"]) as a:
        with pytest.raises(ax.ArchiveError):
            ax.build(tmp_path, archives["sound"])  # exists, and no force
        a.close()
        with pytest.raises(ValueError):
            a.read("models - g/0000.raw")


def test_an_archive_holds_its_entries_with_data_as_members(archives):
    with ax.Archive(archives["deleted"]) as a:
        listed = list(a.entries())
        members = [e for e in listed if e.method != "nodata"]
        assert [e.path for e in a] == a.namelist() == [e.path for e in members] != []
        assert [e.path for e in a.entries(categories=13)] == [
            e.path for e in a.entries(categories="g")] != []
        for e in members[::7]:
            for name in (e.path, Path(e.path), e):
                assert name in a and a.getinfo(name).sector == e.sector
        no_data = next(e.path for e in listed if e.method == "nodata")
        for name in (no_data, "models - g/9999.raw", "models - g", "models - g/000?.raw",
                     "category 040/0000.raw", "x"):
            assert name not in a
            with pytest.raises(KeyError):
                a.getinfo(name)
        assert 5 not in a


def test_entries_in_memory_pack_as_a_folder_of_them(tree, sound, tmp_path):
    files = files_under(tree)
    held = {Path(p) if i % 2 else p: bytearray(d) if i % 3 else memoryview(d)
            for i, (p, d) in enumerate(files.items())}
    ax.build(held, tmp_path / "held.bin")
    assert (tmp_path / "held.bin").read_bytes() == sound.read_bytes()
    edits = {p: os.urandom(300) for p in list(files)[:3]}
    for p, d in edits.items():
        (tmp_path / "edits" / p).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "edits" / p).write_bytes(d)
    shutil.copyfile(sound, tmp_path / "folder.bin")
    assert ax.update(edits, tmp_path / "held.bin") == ax.update(tmp_path / "edits",
                                                                tmp_path / "folder.bin")
    assert (tmp_path / "held.bin").read_bytes() == (tmp_path / "folder.bin").read_bytes()
    before = (tmp_path / "folder.bin").read_bytes()
    for key in ("models - g/1.raw", "models - g", "models - q/0001.raw", "../models - g/0001.raw"):
        with pytest.raises(ValueError, match="not an entry path"):
            ax.update({**edits, key: b"x"}, tmp_path / "folder.bin")
    with pytest.raises(TypeError):
        ax.build({"models - g/0001.raw": "text"}, tmp_path / "text.bin")
    assert (tmp_path / "folder.bin").read_bytes() == before
    assert not (tmp_path / "text.bin").exists()


@pytest.mark.parametrize("source,error,message", [
    ("source/models - g", ax.ArchiveError, "holds no category folders"),
    ("empty", ax.ArchiveError, "holds no category folders"),
    ({}, ax.ArchiveError, "no entries were given"),
    ("missing", FileNotFoundError, "No such file or directory"),
])
def test_a_build_of_no_entry_is_refused(tree, tmp_path, source, error, message):
    shutil.copytree(tree, tmp_path / "source")
    (tmp_path / "empty").mkdir()
    if isinstance(source, str):
        source = tmp_path / source
    with pytest.raises(error, match=message):
        ax.build(source, tmp_path / "new.bin")
    assert not (tmp_path / "new.bin").exists()


def test_four_threads_read_at_once(sound):
    with ax.Archive(sound) as a:
        paths = [e.path for e in a.entries()]
        expected = [a.read(p) for p in paths]
        results = [None] * 4

        def work(i):
            results[i] = [a.read(p) for p in paths[i:] + paths[:i]]

        threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    for i, got in enumerate(results):
        assert got == expected[i:] + expected[:i]


def test_reading_a_large_entry_lets_other_threads_run(tmp_path):
    source = tmp_path / "big"
    (source / "models - g").mkdir(parents=True)
    with open(source / "models - g" / "0000.raw", "wb") as f:
        f.truncate(96 << 20)
    archive = tmp_path / "big.bin"
    tool("archive-pack", "--method", "plain", source, archive)
    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    other = threading.Thread(target=tick)
    other.start()
    try:
        with ax.Archive(archive) as a:
            for _ in range(5):
                start = time.perf_counter()
                data = a.read("models - g/0000.raw")
                end = time.perf_counter()
                if any(start < t < end for t in ticks[-5000:]):
                    break
            else:
                pytest.fail("no other thread ran while an entry was read")
    finally:
        stop.set()
        other.join()
    assert len(data) == 96 << 20


def test_a_large_plain_entry_is_read_where_it_lies():
    shm = "/dev/shm"
    if not os.path.isdir(shm) or shutil.disk_usage(shm).free < 3 << 30:
        pytest.skip("needs 3 GiB of tmpfs in /dev/shm")
    size = (1 << 30) - 2048  # about the largest plain entry
    folder = tempfile.mkdtemp(dir=shm)
    try:
        (Path(folder) / "source" / "models - g").mkdir(parents=True)
        with open(Path(folder) / "source" / "models - g" / "0000.raw", "wb") as sparse:
            sparse.truncate(size)
        tool("archive-pack", "--method", "plain", Path(folder) / "source", Path(folder) / "big.bin")
        before = resident()
        with ax.Archive(Path(folder) / "big.bin") as a, a.open("models - g/0000.raw") as f:
            buffer, total = bytearray(1 << 20), 0
            while n := f.readinto(buffer):
                total += n
        assert total == size and resident() - before < 16 << 20
    finally:
        shutil.rmtree(folder)


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    """An archive of 1000 entries: long enough to extract that it can be interrupted."""
    folder = tmp_path_factory.mktemp("many")
    tool("make-samples", folder / "source", "--count", 1000, "--seed", 2, "--scale", 1)
    tool("archive-pack", folder / "source", folder / "many.bin")
    tool("archive-extract", "-q", "-C", folder, folder / "many.bin")
    return folder / "many.bin", files_under(folder)


def interrupt_by_progress(_):
    def progress(*_):
        raise KeyboardInterrupt
    return progress


def interrupt_by_signal(ended):
    """SIGINT from another thread once the progress callback has been called, the lookups done:
    it lands while the files are being written (a fixed delay lost the race on a fast machine,
    where the whole run took less)."""
    called = threading.Event()

    def send():
        if called.wait(60):
            with ended[0]:
                if not ended[1]:
                    os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=send, daemon=True).start()
    return lambda *_: called.set()


@pytest.mark.parametrize("interrupt", [interrupt_by_progress, interrupt_by_signal])
def test_ctrl_c_stops_extraction_without_partial_files(many, tmp_path, interrupt):
    archive, expected = many
    ended = [threading.Lock(), False]  # no signal once the run is over
    try:
        with ax.Archive(archive) as a, pytest.raises(KeyboardInterrupt):
            a.extract(tmp_path, jobs=1, progress=interrupt(ended))
    finally:
        with ended[0]:
            ended[1] = True
    names = [p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*") if p.is_file()]
    assert len(names) < len([p for p in expected if p.startswith("models - ")])
    assert all(expected.get(name) == (tmp_path / name).read_bytes() for name in names)


def test_progress_counts_up_to_what_was_written(many, tmp_path):
    archive, expected = many
    calls = []
    with ax.Archive(archive) as a:
        written = a.extract(tmp_path, jobs=2, progress=lambda *p: calls.append(p))
    raws = [name for name in expected if name.startswith("models - ")]
    assert sorted(written) == sorted(raws)
    # The bytes are the sizes the index gives, which may round a file's up.
    total = calls[-1][3]
    assert calls[-1] == (len(raws), len(raws), total, total)
    assert total >= sum(len(expected[name]) for name in raws)
    assert all(c[1] == len(raws) and c[3] == total for c in calls)
    assert all(a[0] <= b[0] and a[2] <= b[2] and a != b for a, b in zip(calls, calls[1:]))


def test_build_and_update_round_trip_as_archive_pack_does(tree, tmp_path):
    ours, theirs = tmp_path / "ours.bin", tmp_path / "theirs.bin"
    ax.build(tree, ours)
    tool("archive-pack", tree, theirs)
    assert ours.read_bytes() == theirs.read_bytes()
    with ax.Archive(ours) as a:
        assert all(a.read(p) == d for p, d in files_under(tree).items())
        changed = [e.path for e in a.entries()][:3]
    edits = tmp_path / "edits"
    for i, path in enumerate(changed):
        (edits / path).parent.mkdir(parents=True, exist_ok=True)
        (edits / path).write_bytes(os.urandom(100) * (i * 40 + 1))
    for options, flags in [({"dry_run": True}, ["--dry-run"]), ({"in_place": True}, ["--in-place"])]:
        report = ax.update(edits, ours, **options)
        lines = tool("archive-pack", "--update", *flags, edits, theirs)
        assert [f"{p}: {action}" for p, action in report] == lines
        assert ours.read_bytes() == theirs.read_bytes()
    with ax.Archive(ours) as a:
        assert all(a.read(p) == d for p, d in files_under(edits).items())
    report = ax.delete(ours, changed[:1])
    assert [f"{p}: {action}" for p, action in report] == tool("archive-pack", "--delete", theirs, changed[0])
    assert ax.compact(ours).replace("ours", "theirs") == tool("archive-pack", "--compact", theirs)[0]
    assert ours.read_bytes() == theirs.read_bytes()
    with pytest.raises(ax.ArchiveError):
        ax.delete(ours, ["models - g/9999.raw"])
    (edits / "models - w" / "0777.raw").parent.mkdir(parents=True, exist_ok=True)
    (edits / "models - w" / "0777.raw").write_bytes(b"new")
    with pytest.raises(ax.ArchiveError, match="larger entry table"):
        ax.update(edits, ours)
    with pytest.raises(ValueError):
        ax.update(edits, ours, method="zip")


def test_the_packer_refuses_an_archive_open_here_at_once(sound, tmp_path):
    archive = tmp_path / "open.bin"
    shutil.copyfile(sound, archive)
    commands = [lambda: ax.update(tmp_path / "edits", archive), lambda: ax.compact(archive),
                lambda: ax.delete(archive, ["models - g"]), lambda: ax.recover(archive)]
    with ax.Archive(archive) as a:
        plain = a.open(next(e for e in a.entries() if e.method == "plain"))
        for command in commands:  # rather than wait for this process's own lock
            with pytest.raises(ax.ArchiveError) as refused:
                command()
            assert str(refused.value) == (f"{archive} is open in this process (an Archive not yet "
                                          "closed); close it before changing the archive")
    with pytest.raises(ax.ArchiveError, match="open in this process"):
        ax.compact(archive)  # the plain entry's file reads on from the archive
    plain.close()  # lets go of it
    assert "compact" in ax.compact(archive)


@pytest.mark.parametrize("size_limit", [True, False])
def test_the_output_bound_stops_test_and_extract_as_on_the_command_line(sound, tmp_path, size_limit):
    # Compressed entries whose headers claim 32 MiB each: 256 MiB is this archive's bound.
    bounded = tmp_path / "bounded.bin"
    shutil.copyfile(sound, bounded)
    with ax.Archive(sound) as a:
        claims = [e for e in a.entries() if e.method in ("lz", "rle")][:10]
    with open(bounded, "r+b") as f:
        for e in claims:
            f.seek(e.sector * 2048 + 8)
            f.write((0x1FFFFFF).to_bytes(4, "little"))
    flags = [] if size_limit else ["--no-size-limit"]
    verdicts = [], None
    with ax.Archive(bounded) as a:
        try:
            for r in a.test(size_limit=size_limit):
                verdicts[0].append({f: getattr(r, f) for f in ("path", "ok", "problem")})
        except ax.Error as error:
            verdicts = verdicts[0], str(error)
        with pytest.raises(ax.ExtractError) as failed:
            a.extract(tmp_path / "out", size_limit=size_limit)
    cli = [{"path": v["path"], "ok": v["ok"], "problem": v.get("problem")}
           for v in cli_json("--test", *flags, bounded)]
    assert verdicts[0] == cli
    assert (verdicts[1] is not None) == size_limit == ("stopped before" in str(failed.value))
    if size_limit:
        assert verdicts[1].startswith("stopped before") and verdicts[1].endswith("size_limit=False lifts it")
