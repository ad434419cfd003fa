import os

import pytest


@pytest.fixture
def auth_key():
    return os.urandom(256)


@pytest.fixture
def auth_key_id():
    return os.urandom(8)


@pytest.fixture
def session_id():
    return os.urandom(8)
