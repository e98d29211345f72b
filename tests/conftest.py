"""Fixtures shared by the test files: a small Dask cluster for the distributed classes."""

import contextlib

import numpy as np
import pytest


@pytest.fixture(scope="session")
def dask_client():
    """A distributed client on a LocalCluster of two single-threaded workers, for the session."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=":0", silence_logs=40)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def numbers_in(obj):
    """How many numbers a gathered result holds (arrays and frames by size, containers by their
    items; any other object, a booster say, counts as one)."""
    if isinstance(obj, np.ndarray):
        return obj.size
    if hasattr(obj, "to_numpy") and hasattr(obj, "shape"):
        return int(np.prod(obj.shape))
    if isinstance(obj, dict):
        return sum(numbers_in(v) for v in obj.values())
    if isinstance(obj, (list, tuple, set)):
        return sum(numbers_in(v) for v in obj)
    return 1


@contextlib.contextmanager
def gather_limit(client, limit):
    """Fails any gathering of more than `limit` numbers to the client while it is active
    (every result a client receives passes through its _gather)."""
    original = client._gather
    largest = [0]

    async def guarded(*args, **kwargs):
        result = await original(*args, **kwargs)
        size = numbers_in(result)
        largest[0] = max(largest[0], size)
        if size > limit:
            raise AssertionError("gathered %d numbers to the client (limit %d)" % (size, limit))
        return result

    client._gather = guarded
    try:
        yield largest
    finally:
        del client._gather
