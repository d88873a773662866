import importlib.metadata
import os
import shutil

import pytest

DATA = os.path.join(os.path.dirname(__file__), "data")


def pytest_report_header(config):
    versions = []
    for name in ("pandas", "numpy", "openpyxl", "python-docx", "lxml", "pillow"):
        try:
            versions.append(f"{name} {importlib.metadata.version(name)}")
        except importlib.metadata.PackageNotFoundError:
            versions.append(f"{name} missing")
    return "tessel test dependencies: " + ", ".join(versions)


@pytest.fixture(scope="session")
def data_dir():
    """Folder of the real Office files the tests use (see data/README.md)."""
    return DATA


@pytest.fixture(scope="session")
def soffice():
    """Path of LibreOffice's soffice; the test is skipped loudly where it is missing."""
    path = shutil.which("soffice") or shutil.which("libreoffice")
    if path is None:
        pytest.skip(
            "LibreOffice is not installed: apt-get install -y libreoffice-calc-nogui "
            "libreoffice-writer-nogui (.ci/run installs it)"
        )
    return path
