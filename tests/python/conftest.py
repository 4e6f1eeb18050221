import os

import pytest
from hypothesis import settings

# Set by CI's run under AddressSanitizer, whose quarantine holds freed memory:
# the resident set says nothing about leaks there.
SANITIZED = os.environ.get("QUARNEL_SANITIZED") == "1"


# Hypothesis's budget per property: the full one with --all, a tenth of it otherwise.
settings.register_profile("all", max_examples=600, deadline=None)
settings.register_profile("quick", max_examples=60, deadline=None)


def pytest_addoption(parser):
    parser.addoption("--all", action="store_true",
                     help="also run the tests marked slow, and Hypothesis at its full budget")


def pytest_configure(config):
    config.addinivalue_line("markers", "resident_set: measures the resident set; not run under a sanitizer")
    config.addinivalue_line("markers", "slow: slow by nature; run only with --all")
    settings.load_profile("all" if config.getoption("--all") else "quick")


def pytest_collection_modifyitems(config, items):
    skips = []
    if SANITIZED:
        skips.append(("resident_set", pytest.mark.skip(reason="the sanitizer's quarantine holds freed memory")))
    if not config.getoption("--all"):
        skips.append(("slow", pytest.mark.skip(reason="slow: run with --all")))
    for item in items:
        for marker, skip in skips:
            if marker in item.keywords:
                item.add_marker(skip)


@pytest.fixture
def raises_exactly():
    """Call fn and demand exactly exc_type (not a subclass) with the given text."""

    def check(exc_type, message, fn, *args, **kwargs):
        with pytest.raises(exc_type) as info:
            fn(*args, **kwargs)
        assert type(info.value) is exc_type, f"got {type(info.value).__name__}: {info.value}"
        if message is not None:
            assert str(info.value) == message
        return info.value

    return check
