"""The Python module over the sample system: the same records as the
command-line tool, typed as Python values, with filters, loose files, remote
computers, errors and threads."""
import datetime
import os
import re
import threading

import pytest

import vesk

UTC = datetime.timezone.utc
LOCAL_LOGS = ("Application", "System", "Security", "DemoLog")


def find_file(root, *names):
    """The file at root/names..., each name matched without regard to case,
    as the platform matches them."""
    path = root
    for name in names:
        entries = {e.lower(): e for e in os.listdir(path)}
        path = os.path.join(path, entries[name.lower()])
    return path


def as_tool_value(key, value):
    """A dict value in the form the tool's JSON Lines write it."""
    if isinstance(value, datetime.datetime):
        return value.astimezone(UTC).strftime("%Y-%m-%dT%H:%M:%SZ")
    if isinstance(value, bytes):
        return value.hex()
    return value


# A time without a zone (the library's local time) that the tool wrote where
# the module gives the exact UTC time: not comparable.
LOCAL_TIME = object()


def tool_value(key, value):
    """A JSON Lines value, times brought to the module's form."""
    if key in ("time", "generated") and isinstance(value, str):
        t = datetime.datetime.fromisoformat(value.replace("Z", "+00:00"))
        if t.tzinfo is None:
            return LOCAL_TIME
        return t.astimezone(UTC).strftime("%Y-%m-%dT%H:%M:%SZ")
    return value


@pytest.mark.parametrize("log", LOCAL_LOGS)
def test_records_are_the_tools_rows(local, tool_rows, log):
    rows = list(vesk.read(log, image=local))
    expected = tool_rows("--image", local, log)
    assert len(rows) == len(expected) > 0
    for got, want in zip(rows, expected):
        for key, value in want.items():
            assert key in got, key
            value = tool_value(key, value)
            if value is not LOCAL_TIME:
                assert as_tool_value(key, got[key]) == value, (got["record"], key)


def test_values_are_typed(local):
    rows = list(vesk.read("Security", image=local))
    assert rows
    for r in rows:
        assert isinstance(r["record"], int) and isinstance(r["event"], int)
        for key in ("time", "generated"):
            assert isinstance(r[key], datetime.datetime)
            assert r[key].utcoffset() == datetime.timedelta(0)
        assert isinstance(r["strings"], list)
        assert all(isinstance(s, str) for s in r["strings"])
        assert isinstance(r["data"], bytes)
        assert r["event"] == r["event_id"] & 0xFFFF
    logon = next(r for r in rows if r["event"] == 528)
    # The message is formatted from the insertion strings.
    assert logon["strings"][0] in logon["message"]
    assert logon["user"] == "SAMPLEPC\\alice"


def test_errors_carry_the_librarys_text(local):
    with pytest.raises(vesk.Error, match=r"RegConnectKeyEx rc=53"):
        vesk.read("Application", image=local, machine="NOSUCHPC")
    with pytest.raises(vesk.Error):
        vesk.read("NoSuchLog", image=local)
    assert issubclass(vesk.Error, Exception)


def test_filters_select_on_the_raw_record(local):
    every = list(vesk.read("System", image=local))
    scm = [r for r in every if r["source"] == "Service Control Manager"]
    assert scm and len(scm) < len(every)
    assert list(vesk.read("System", image=local, sources="service control MANAGER")) == scm
    events = {r["event"] for r in scm}
    picked = list(vesk.read("System", image=local, events=sorted(events)))
    assert picked == [r for r in every if r["event"] in events]
    errors = list(vesk.read("System", image=local, types=["error"]))
    assert errors == [r for r in every if r["type"] == "Error"]

    middle = sorted(r["time"] for r in every)[len(every) // 2]
    after = list(vesk.read("System", image=local, since=middle))
    before = list(vesk.read("System", image=local, until=middle.isoformat()))
    assert after == [r for r in every if r["time"] >= middle]
    assert before == [r for r in every if r["time"] < middle]
    assert len(after) + len(before) == len(every)

    with pytest.raises(ValueError):
        vesk.read("System", image=local, since=datetime.datetime(2004, 3, 1))
    with pytest.raises(ValueError):
        vesk.read("System", image=local, types="sometimes")


def test_a_loose_file_reads_as_its_log(local):
    path = find_file(local, "WINDOWS", "system32", "config", "SysEvent.Evt")
    by_name = list(vesk.read("System", image=local))
    by_file = list(vesk.read(path, image=local, as_log="System"))
    assert len(by_file) == len(by_name)
    for a, b in zip(by_file, by_name):
        a, b = dict(a), dict(b)
        a.pop("log"), b.pop("log")
        assert a == b


def test_logs_lists_the_registered_logs(local):
    listed = {entry["name"]: entry for entry in vesk.logs(image=local)}
    for log in LOCAL_LOGS:
        assert listed[log]["error"] is None
        assert listed[log]["count"] == len(list(vesk.read(log, image=local)))


def test_remote_computers(local, filesrv):
    rows = list(
        vesk.read(
            "File Replication Service",
            image=local,
            remotes={"FILESRV": filesrv},
            machine="filesrv",
        )
    )
    assert rows and all(r["computer"] == "FILESRV" for r in rows)
    # The same computer named by its registry, as a list item.
    again = list(vesk.read("File Replication Service", image=local, remotes=[filesrv],
                           machine="FILESRV"))
    assert again == rows


def test_images_change_only_between_readers(local, filesrv):
    reader = vesk.read("System", image=local)
    first = next(reader)
    assert first["computer"] == "SAMPLEPC"
    with pytest.raises(vesk.Error, match="being read"):
        vesk.read("System", image=filesrv)
    reader.close()
    with pytest.raises(StopIteration):
        next(reader)
    other = list(vesk.read("System", image=filesrv))
    assert other and all(r["computer"] == "FILESRV" for r in other)


def test_two_threads_read_two_logs_at_once(local):
    logs = ("System", "Application")
    reference = {log: list(vesk.read(log, image=local)) for log in logs}
    results = {log: [] for log in logs}
    failures = []
    start = threading.Barrier(len(logs))

    def walk(log):
        try:
            start.wait()
            for _ in range(20):
                results[log].append(list(vesk.read(log, image=local)))
        except Exception as e:  # reported below, in the test's own thread
            failures.append(e)

    threads = [threading.Thread(target=walk, args=(log,)) for log in logs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    for log in logs:
        assert len(results[log]) == 20
        assert all(rows == reference[log] for rows in results[log])


def evtexport_records(path):
    """The records of an .evt file as libevt's evtexport reads them: number,
    times, identifier and strings."""
    import shutil
    import subprocess

    if shutil.which("evtexport") is None:
        pytest.skip("evtexport (Debian: libevt-utils) is not installed")
    out = subprocess.run(["evtexport", path], check=True, stdout=subprocess.PIPE).stdout
    records, current = [], None
    for line in out.decode("utf-8", "replace").splitlines():
        string = re.match(r"String: \d+\s*: ?(.*)$", line)
        if string and current is not None:
            current["strings"].append(string.group(1))
            continue
        name, sep, value = line.partition(":")
        if not sep:
            continue
        name, value = name.strip(), value.strip()
        if name == "Event number":
            current = {"record": int(value), "strings": []}
            records.append(current)
        elif current is None:
            continue
        elif name in ("Creation time", "Written time"):
            t = datetime.datetime.strptime(value, "%b %d, %Y %H:%M:%S UTC").replace(tzinfo=UTC)
            current["generated" if name == "Creation time" else "time"] = t
        elif name == "Event identifier":
            current["event_id"] = int(value.split()[0], 16)
    return records


def test_raw_fields_match_an_independent_reader(local):
    path = find_file(local, "WINDOWS", "system32", "config", "SysEvent.Evt")
    expected = evtexport_records(path)
    rows = list(vesk.read("System", image=local))
    assert len(rows) == len(expected) > 0
    for got, want in zip(rows, expected):
        assert {key: got[key] for key in want} == want


def test_an_image_named_after_a_first_call_without_one(local):
    # A fresh process whose first call has no image to read (none in the
    # environment either): a later call that names one reads it.
    import subprocess
    import sys

    script = (
        "import sys, vesk\n"
        "try:\n"
        "    vesk.read('System')\n"
        "    sys.exit('a log was opened without an image')\n"
        "except vesk.Error as e:\n"
        "    print('first:', e)\n"
        "print(len(list(vesk.read('System', image=sys.argv[1]))))\n"
    )
    env = {k: v for k, v in os.environ.items() if not k.startswith("VESK_")}
    env["PYTHONPATH"] = os.path.dirname(vesk.__file__)
    out = subprocess.run([sys.executable, "-c", script, local], env=env, check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    assert out.splitlines()[-1] == str(len(list(vesk.read("System", image=local))))
