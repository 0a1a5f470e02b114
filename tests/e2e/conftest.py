import pytest

import service as svc


@pytest.fixture
def unit_dir(tmp_path):
    return tmp_path


@pytest.fixture
def run_service():
    """Starts services on simulated units and always stops them."""
    started = []

    def start(description, unit_dir, command=None):
        unit_path = svc.write_unit(unit_dir, description)
        service = svc.Service(unit_path, command)
        started.append(service)
        service.wait_ready()
        return service

    yield start
    for service in started:
        service.close()
