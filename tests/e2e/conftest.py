import pytest

import service as svc


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
