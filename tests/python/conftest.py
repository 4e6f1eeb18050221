import pytest


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
