# The module against the command line on the same archives, sound and damaged: the listing, the
# verdicts, every read and the extracted tree.
import pytest

import archive_extract as ax
from conftest import cli_json, cli_status, files_under, tool

ARCHIVES = ["sound", "damaged", "truncated", "faulting", "deleted"]
FIELDS = ["path", "category", "entry", "sector", "method", "stored", "size"]
VERDICT = FIELDS + ["ok", "shared"]

# Filters as keyword arguments and as the same options on the command line.
FILTERS = [
    ({}, []),
    ({"categories": ["g", 25]}, ["--category", "g,25"]),
    ({"entries": "0-9,30"}, ["--entries", "0-9,30"]),
    ({"entries": range(5, 12)}, ["--entries", "5,6,7,8,9,10,11"]),
    ({"members": ["models - c", "models - t/*"]}, [None, "models - c", "models - t/*"]),
]
CASES = [(name, *f) for name in ARCHIVES for f in FILTERS] + [
    ("sound", {"all_categories": True, "entries": "0-20"}, ["--all-categories", "--entries", "0-20"])]


def as_dict(e, fields):
    d = {f: getattr(e, f) for f in fields}
    if getattr(e, "problem", None):
        d["problem"] = e.problem
    return d


def command(mode, archive, args):
    # Members follow the archive on the command line (a None marks where they begin).
    if None in args:
        cut = args.index(None)
        return [mode, *args[:cut], archive, *args[cut + 1:]]
    return [mode, *args, archive]


def collect(iterator, fields):
    """The items an iterator yields and the exception that ends it, if any."""
    items = []
    try:
        for item in iterator:
            items.append(as_dict(item, fields))
    except ax.MachineFault as fault:
        return items, fault
    return items, None


@pytest.mark.parametrize("name,kwargs,args", CASES)
def test_listing_and_verdicts_equal_the_command_line(archives, name, kwargs, args):
    archive = archives[name]
    with ax.Archive(archive) as a:
        listed, fault = collect(a.entries(**kwargs), FIELDS)
        assert listed == cli_json(*command("--list", archive, args))
        tested, test_fault = collect(a.test(**kwargs), VERDICT)
    assert tested == cli_json(*command("--test", archive, args))
    faults = cli_status(*command("--list", archive, args)) == 1
    assert (fault is not None) == (test_fault is not None) == faults


@pytest.mark.parametrize("name", ARCHIVES)
def test_reads_and_extraction_equal_the_command_line(archives, name, tmp_path):
    archive = archives[name]
    tool("archive-extract", "-q", "-C", tmp_path.joinpath("cli").mkdir() or tmp_path / "cli", archive,
         check=False)
    expected = files_under(tmp_path / "cli")
    verdicts = {v["path"]: v.get("problem") for v in cli_json("--test", archive)}
    with ax.Archive(archive) as a:
        for e in cli_json("--list", archive):
            path = e["path"]
            if path in expected:
                assert a.read(path) == expected[path]
                continue
            with pytest.raises(ax.EntryError) as error:
                a.read(path)
            assert error.value.problem == verdicts.get(path, "nodata")
        try:
            written = a.extract(tmp_path / "module", jobs=2)
            problems = {}
        except ax.ExtractError as error:
            written, problems = error.written, error.problems
        except ax.MachineFault as fault:
            assert name == "faulting" and fault.line
            written, problems = list(files_under(tmp_path / "module")), {}
    assert files_under(tmp_path / "module") == expected
    assert sorted(written) == sorted(expected)
    assert problems == {p: w for p, w in verdicts.items() if w}
