import copy
import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
from winebed import WinePrefix  # noqa: E402


def pytest_configure(config):
    missing = [name for name in ("ZRA_EXE", "ZRA_LAUNCH", "ZRA_WINE_ROOT") if not os.environ.get(name)]
    if missing:
        raise pytest.UsageError(f"run the end-to-end tests through ctest (missing {', '.join(missing)})")


@pytest.fixture(scope="module")
def module_prefix(tmp_path_factory):
    """One prefix (and one wineserver) for all tests of a module."""
    wine_prefix = WinePrefix.create(tmp_path_factory.mktemp("prefix"))
    yield wine_prefix
    wine_prefix.close()


@pytest.fixture
def prefix(module_prefix, request):
    """The module's prefix with a temp folder of the test's own. For tests
    that leave no registry state behind."""
    view = copy.copy(module_prefix)
    view.env = dict(module_prefix.env)
    view.use_temp_folder(f"C:\\tests\\{request.node.name[:60].replace('[', '_').replace(']', '')}\\Temp")
    return view


@pytest.fixture
def fresh_prefix(tmp_path):
    """A prefix of the test's own, for tests that change the machine."""
    wine_prefix = WinePrefix.create(tmp_path / "prefix")
    yield wine_prefix
    wine_prefix.close()
