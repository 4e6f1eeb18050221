import os

import pytest

# Set by CI's run under AddressSanitizer, whose quarantine holds freed memory:
# the resident set says nothing about leaks there.
SANITIZED = os.environ.get("QUARNEL_SANITIZED") == "1"


def pytest_configure(config):
    config.addinivalue_line("markers", "resident_set: measures the resident set; not run under a sanitizer")


def pytest_collection_modifyitems(config, items):
    if SANITIZED:
        skip = pytest.mark.skip(reason="the sanitizer's quarantine holds freed memory")
        for item in items:
            if "resident_set" in item.keywords:
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
