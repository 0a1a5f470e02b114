import subprocess

import pytest

import service as svc

# The programs each test ran, so that a failure shows first what they
# answered: the command, its exit status and its standard error.
_runs = []
_real_run = subprocess.run


def _recording_run(*args, **kwargs):
    try:
        result = _real_run(*args, **kwargs)
    except subprocess.TimeoutExpired as error:
        _runs.append((error.cmd, "no exit within %s s" % error.timeout, error.stderr))
        raise
    _runs.append((result.args, "exit status %d" % result.returncode, result.stderr))
    return result


subprocess.run = _recording_run


def _text(data, limit=2000):
    text = data.decode(errors="replace") if isinstance(data, bytes) else (data or "")
    return text if len(text) <= limit else "..." + text[-limit:]


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item):
    del _runs[:]


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if report.failed and _runs:
        lines = ["The last commands this test ran, the last first:"]
        for args, status, stderr in reversed(_runs[-3:]):
            command = " ".join(map(str, args)) if isinstance(args, (list, tuple)) else str(args)
            lines += ["$ " + command, "  " + status + ", standard error:",
                      "  " + _text(stderr).rstrip().replace("\n", "\n  ")]
        report.longrepr = "\n".join(lines) + "\n\n" + str(report.longrepr)


@pytest.fixture
def unit_dir(tmp_path):
    return tmp_path


@pytest.fixture
def run_service():
    """Starts services on simulated units, each ready; always stops them."""
    started = []

    def start(description, unit_dir, command=None):
        started.append(svc.Service(svc.write_unit(unit_dir, description), command))
        started[-1].wait_ready()
        return started[-1]

    yield start
    for service in started:
        service.close()
