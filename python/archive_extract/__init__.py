"""List, read, test, extract and update game data archives from Python.

The archive's entries are found by running the game's own lookup routines on the built-in
interpreter, exactly as the command-line tools archive-extract and archive-pack do; this module
gives the same answers, the same bytes and the same refusals::

    import archive_extract as ax

    with ax.Archive("DATA.BIN") as a:
        for e in a.entries(categories=["g"]):
            print(e.path, e.method, e.size)
        data = a.read("models - g/0001.raw")
        with a.open("models - g/0001.raw") as f:
            f.seek(-16, 2)
            tail = f.read()

    ax.update({"models - g/0001.raw": data[::-1]}, "DATA.BIN")

An :class:`Archive` holds its members as a zip or tar file does: iterating over it, ``namelist()``,
``getinfo()`` and ``in`` see the entries with data of the model folders (what extraction
without options writes).

Long work runs with the GIL released; Ctrl-C stops testing and extraction as SIGINT stops the
command line.
"""

import io
import os
import pathlib
import warnings
from collections.abc import Mapping

from . import _core

__all__ = [
    "Archive", "Entry", "TestResult", "EntryFile", "Error", "MachineFault", "ArchiveError",
    "EntryError", "ExtractError", "PackWarning", "update", "build", "delete", "compact",
    "recover", "__version__",
]

#: The version of the tools this module belongs to (what their --version prints).
__version__ = _core.version

Entry = _core.Entry
TestResult = _core.TestResult


class Error(Exception):
    """The base class of this module's errors."""


class MachineFault(Error):
    """The emulated machine stopped while looking entries up: not an archive of this kind.

    ``line`` is the line the tools print for it, without its line feed (empty when the machine
    stops without a word).
    """

    def __init__(self, line):
        super().__init__(line)
        self.line = line


class ArchiveError(Error):
    """A file that is not an archive of this kind, an update journal left beside the archive,
    or a refusal of the packer; the message is the tools' own."""


class EntryError(Error):
    """An entry that extraction writes no file for.

    ``problem`` is the word ``--test`` uses (``corrupt``, ``unsupported``, ``incomplete``), or
    ``nodata`` for an entry the index marks as having no data; ``path`` names the entry.
    """

    def __init__(self, message, problem, path):
        super().__init__(message)
        self.problem = problem
        self.path = path


class ExtractError(Error):
    """An extraction that finished with problems, or stopped.

    ``written`` lists the paths written (relative to the output folder, in sweep order);
    ``problems`` maps each path not written to what was wrong: the ``--test`` word for a
    damaged entry, ``folder`` for an entry of a category folder that could not be used (the
    folder's own path maps to why), else the command line's message.
    """

    def __init__(self, message, written, problems):
        super().__init__(message)
        self.written = written
        self.problems = problems


class PackWarning(UserWarning):
    """What archive-pack says on stderr besides failing: a journal it completed or discarded, a
    file of the source folder it skipped."""


_core._set_errors(Error, MachineFault, ArchiveError, EntryError)


def _warn(notes):
    for note in notes:
        warnings.warn(note, PackWarning, stacklevel=3)


def _missing(members):
    error = KeyError(*members)
    error.members = list(members)
    return error


class EntryFile(io.RawIOBase):
    """A read-only, seekable binary file over one entry (what :meth:`Archive.open` returns).

    A plain entry is read from the archive where it lies, as it is asked for; a compressed one
    was decoded when it was opened. It stays readable after its archive is closed.
    """

    def __init__(self, reader):
        super().__init__()
        self._reader = reader
        self._size = reader.size
        self._position = 0
        #: The entry's path.
        self.name = reader.path

    mode = "rb"

    @property
    def size(self):
        """The entry's length in bytes."""
        return self._size

    def close(self):
        """Closes the file; it lets go of the archive (and its lock) at once."""
        super().close()
        self._reader = None

    def readable(self):
        """True: the entry can be read."""
        self._checkClosed()
        return True

    def writable(self):
        """False: an entry is changed through :func:`update`."""
        self._checkClosed()
        return False

    def write(self, data):
        """Raises :class:`io.UnsupportedOperation`: the file is read-only."""
        self._checkClosed()
        raise io.UnsupportedOperation("write")

    def seekable(self):
        """True: any position can be sought."""
        self._checkClosed()
        return True

    def readinto(self, buffer):
        """Reads up to ``len(buffer)`` bytes into ``buffer``; returns how many (0 at the end)."""
        self._checkClosed()
        if self._position >= self._size:
            return 0  # at or past the end, however far (a position may pass 64 bits)
        with memoryview(buffer) as view:
            n = self._reader.readinto(self._position, view.cast("B"))
        self._position += n
        return n

    def readall(self):
        """The rest of the entry."""
        self._checkClosed()
        rest = bytearray(max(self._size - self._position, 0))
        n = self.readinto(rest)
        del rest[n:]
        return bytes(rest)

    def seek(self, offset, whence=io.SEEK_SET):
        """Moves to ``offset`` from the start (0), the current position (1) or the end (2)."""
        self._checkClosed()
        if whence == io.SEEK_SET:
            base = 0
        elif whence == io.SEEK_CUR:
            base = self._position
        elif whence == io.SEEK_END:
            base = self._size
        else:
            raise ValueError(f"invalid whence ({whence!r}, should be 0, 1 or 2)")
        position = base + offset.__index__()
        if position < 0:
            raise ValueError(f"negative seek position {position}")
        self._position = position
        return position

    def tell(self):
        """The current position."""
        self._checkClosed()
        return self._position


def _verdicts(results, fault, failure, out_of_memory, missing):
    yield from results
    if fault is not None:
        raise MachineFault(fault)
    if failure is not None:
        raise MemoryError(failure) if out_of_memory else Error(failure)
    if missing:
        raise _missing(missing)


def _listed(listing):
    yield from listing
    missing = listing.missing()
    if missing:
        raise _missing(missing)


class Archive:
    """An archive open for reading; use it in a ``with`` block or call :meth:`close`.

    Opening reads the archive's index; nothing is looked up until asked for. Several archives
    may be open at once, and one may be used from several threads at once.

    Raises :class:`OSError` when the file cannot be read, :class:`ArchiveError` when it cannot
    be an archive of this kind or an update of it was stopped and left its journal.
    """

    def __init__(self, path):
        #: The path the archive was opened by.
        self.path = os.fsdecode(path)
        self._handle = _core.ArchiveHandle(path)

    def close(self):
        """Closes the archive; files opened from it stay readable."""
        self._handle.close()

    @property
    def closed(self):
        """Whether the archive was closed."""
        return self._handle.closed

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return f"<archive_extract.Archive {self.path!r}{' closed' if self.closed else ''}>"

    def __iter__(self):
        """The members: the :class:`Entry` objects of the entries with data of the model
        folders, in sweep order (``entries()`` without arguments, less the entries with no
        data)."""
        return (e for e in self.entries() if e.method != "nodata")

    def namelist(self):
        """The members' paths ("models - g/0001.raw"), in sweep order."""
        return [e.path for e in self]

    def getinfo(self, path):
        """The member ``path`` as an :class:`Entry`; :class:`KeyError` when it is no member (no
        entry path, an entry with no data, or one outside the model folders)."""
        name = path.path if isinstance(path, Entry) else _entry_path(path)
        if name is not None and name.startswith("models - "):
            try:
                for e in self.entries(members=[name]):
                    if e.path == name and e.method != "nodata":
                        return e
            except KeyError:
                pass
        raise KeyError(path)

    def __contains__(self, path):
        try:
            self.getinfo(path)
        except (KeyError, TypeError, ValueError):
            return False
        return True

    def entries(self, categories=None, entries=None, members=None, all_categories=False):
        """Yields the selected entries in sweep order as :class:`Entry` objects, as
        ``archive-extract --list --json`` lists them (the same fields and values).

        ``categories``: folder letters or category numbers ("g", 13, "g,hc,25" or ["g", 25]).
        ``entries``: a range string ("0-99,120") or an iterable of entry numbers.
        ``members``: paths, folders or glob patterns, as on the command line.
        ``all_categories``: sweep all 256 categories, not only the eleven model ones.

        Members that match nothing raise :class:`KeyError` naming them once the last entry has
        been yielded; :class:`MachineFault` ends the iteration where the lookups stop.
        """
        listing = self._handle.listing(categories, entries, members, all_categories)
        return _listed(listing)

    def read(self, member, size_limit=True):
        """The bytes extraction writes for ``member`` (a path or an :class:`Entry`).

        Raises :class:`KeyError` when it names no entry, :class:`EntryError` when extraction
        writes no file for it, :class:`Error` when it expands past the output bound
        (``size_limit=False`` lifts it, as ``--no-size-limit`` does).
        """
        return self._handle.read(member, size_limit)

    def open(self, member, size_limit=True):
        """``member`` as a read-only, seekable binary file (:class:`EntryFile`); raises what
        :meth:`read` raises. A compressed entry is decoded now; a plain one is read as asked."""
        return EntryFile(self._handle.reader(member, size_limit))

    def test(self, categories=None, entries=None, members=None, all_categories=False,
             size_limit=True, jobs=None):
        """The verdicts of ``archive-extract --test`` on the selected entries with data, in
        sweep order, as :class:`TestResult` objects (an :class:`Entry`'s fields and ``ok``,
        ``problem``, ``shared``).

        The entries are read and decoded on ``jobs`` threads (default: one per core) before
        this returns an iterator over the verdicts. Where the test stops early (the output
        bound, no memory, the machine stopping) the iterator yields the verdicts before that and
        then raises :class:`Error`, :class:`MemoryError` or :class:`MachineFault`; members that
        match nothing raise :class:`KeyError` at the end.
        """
        return _verdicts(*self._handle.test(categories, entries, members, all_categories,
                                            size_limit, jobs))

    def extract(self, output, members=None, overwrite=False, jobs=None, progress=None, *,
                categories=None, entries=None, all_categories=False, size_limit=True):
        """Extracts the selected entries under the folder ``output`` (made if missing), as
        ``archive-extract -C OUTPUT`` does, and returns the paths written, relative to it, in
        sweep order.

        Existing files are kept unless ``overwrite``; a file gets its name only once complete.
        ``jobs`` threads do the work (default: one per core). ``progress``, if given, is called
        with (entries done, entries in all, bytes done, bytes in all) once the lookups are
        done, then at most 20 times a second, and once at the end.

        Raises :class:`ExtractError` (after finishing) when entries had problems or the run
        stopped (its message the command line's last lines: "N entries written, M not
        written", after the reason the run stopped), :class:`MachineFault` when the lookups stopped (the entries before that are
        extracted first), :class:`KeyError` for members that match nothing, and
        :class:`KeyboardInterrupt` on Ctrl-C (the file being finished is the last named).
        """
        if progress is not None and not callable(progress):
            raise TypeError("progress must be callable")
        output = os.fsdecode(output)
        try:
            os.makedirs(output)
        except FileExistsError:
            pass  # a folder, or what the extraction then refuses as the output folder
        written, problems, fault, failure, missing, summary = self._handle.extract(
            output, categories, entries, members, all_categories, overwrite, jobs, size_limit,
            progress)
        if fault is not None:
            raise MachineFault(fault)
        if failure is not None or problems:
            message = f"{failure}; {summary}" if failure is not None else summary
            raise ExtractError(message, written, dict(problems))
        if missing:
            raise _missing(missing)
        return written


def _entry_path(path):
    """An entry path given as ``str`` or ``os.PathLike``, with "/" between folder and file."""
    if isinstance(path, pathlib.PurePath):
        return path.as_posix()
    return os.fsdecode(os.fspath(path))


def _source(source):
    """A source folder's path as given, or a mapping of entry paths to bytes as a dict."""
    if isinstance(source, Mapping):
        return {_entry_path(path): data for path, data in source.items()}
    return source


def update(source, archive, method="keep", in_place=False, dry_run=False):
    """Puts the files of the folder ``source`` back into ``archive``, changing only what differs,
    as ``archive-pack --update`` does; returns its report as (path, action) pairs, the action
    being the words after "PATH: " ("in place", "moved with its group", ...).

    ``source`` may instead map entry paths (``str`` or ``os.PathLike``, "models - g/0001.raw")
    to bytes-like objects: the same update, with no folder written. A key that is no entry path
    raises :class:`ValueError` before anything is written.

    ``method``: keep (each changed entry keeps its storage), auto, plain, stored, lz or rle.
    ``in_place``: rewrite the archive where it lies, through a journal. ``dry_run``: report,
    write nothing. Raises :class:`ArchiveError` for a refusal and :class:`OSError` for a host
    failure (:class:`FileNotFoundError` for a missing source folder); the archive is then unchanged
    (or, in place, recoverable). A journal completed or discarded first, and skipped source
    files, are reported as :class:`PackWarning`.
    """
    report, notes = _core.update(_source(source), archive, method, in_place, dry_run)
    _warn(notes)
    return report


def build(source, archive, method="auto", force=False):
    """Builds ``archive`` from the folder ``source`` (laid out as extraction writes it), or from
    a mapping of entry paths to bytes as :func:`update` takes, as archive-pack does; an existing
    archive is replaced only with ``force``.

    Raises :class:`ArchiveError` for a refusal (a source of no entry among them: a category
    folder given for the source folder), :class:`ValueError` for a key that is no entry path and
    :class:`OSError` for a host failure (:class:`FileNotFoundError` for a missing source
    folder)."""
    _warn(_core.build(_source(source), archive, method, force))


def delete(archive, members, in_place=False, dry_run=False):
    """Makes the entries ``members`` names (entry paths or category folders) entries with no
    data, as ``archive-pack --delete`` does; returns its report as (path, action) pairs."""
    if isinstance(members, (str, bytes, os.PathLike)):
        members = [members]
    members = [os.fsdecode(m) for m in members]
    if any("\0" in m for m in members):
        raise ValueError("embedded null byte")
    report, notes = _core.delete(archive, members, in_place, dry_run)
    _warn(notes)
    return report


def compact(archive, dry_run=False):
    """Rewrites ``archive`` without unused sectors, as ``archive-pack --compact`` does; returns
    its report line (the bytes reclaimed)."""
    report, notes = _core.compact(archive, dry_run)
    _warn(notes)
    return report


def recover(archive):
    """Completes or discards the journal a stopped update left beside ``archive``, as
    ``archive-pack --recover`` does: returns "completed", "discarded" or None (no journal)."""
    outcome, notes = _core.recover(archive)
    _warn(notes)
    return outcome
